# Helpers for the end-to-end scenarios of the Windows program: vtrlupg.exe
# under Wine in an 80x40 tmux pane, its COM1 mapped through Wine's
# HKLM\Software\Wine\Ports to the pseudo-terminal that vtrlsim (from the Linux
# build) serves.
#
# Scenarios that need no serial port also run the Linux vtrlupg the same way,
# so both builds are held to the same screens.
#
# A scenario script:
#
#   #!/usr/bin/env bash
#   source "$(dirname "$0")/lib.sh"
#   w_begin "$@"                      # VTRLUPG_EXE VTRLSIM WINEPREFIX
#   w_start_sim --version 1006        # vtrlsim options
#   w_map_com1                        # COM1 is vtrlsim's pseudo-terminal
#   w_make_image 20000 1007           # vtrlprog.bin beside the program
#   w_start_program -C
#   w_wait_text " Found Vantrel Version 1.006 on COM1"
#   w_pass
#
# Exit codes: 0 pass, 1 fail (with the pane and vtrlsim's output), 77 skip.
# The scenarios take the Wine prefix for themselves (they restart its
# wineserver), one at a time.

set -uo pipefail

W_SKIP=77
W_SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$W_SCRIPT_DIR/../common/wait.sh"
W_SOURCE_DIR=$(cd "$W_SCRIPT_DIR/../.." && pwd)
W_TIMEOUT=${W_TIMEOUT:-60}  # seconds any one wait may take
# Wine's console and tmux agree on UTF-8, so the frames arrive as line-drawing characters.
export LC_ALL=C.UTF-8
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

w_log() { echo "[$(date +%H:%M:%S)] $*"; }

w_dump() {
    if [ -n "${W_TMUX:-}" ] && w_tmux has-session -t w 2>/dev/null; then
        echo "----- pane -----"
        w_tmux capture-pane -p -t w
    fi
    if [ -n "${W_DIR:-}" ]; then
        local f
        for f in "$W_DIR"/sim.out "$W_DIR"/sim.err "$W_DIR"/events.log "$W_DIR"/wine.log; do
            [ -s "$f" ] && { echo "----- $(basename "$f") -----"; tail -n 40 "$f"; }
        done
    fi
}

w_fail() {
    echo "FAIL: $*" >&2
    w_dump >&2
    exit 1
}

w_skip() {
    echo "SKIP: $*" >&2
    exit "$W_SKIP"
}

w_cleanup() {
    if [ -n "${W_TMUX:-}" ]; then
        w_tmux kill-server 2>/dev/null || true
    fi
    if [ -n "${W_WINE:-}" ]; then
        # Ends vtrlupg.exe should it still run, and with it its hold on the port.
        wineserver -k >/dev/null 2>&1 || true
    fi
    if [ -n "${W_SIM_PID:-}" ]; then
        kill -TERM "$W_SIM_PID" 2>/dev/null || true
        wait "$W_SIM_PID" 2>/dev/null || true
    fi
    if [ -n "${W_DIR:-}" ] && [ -z "${W_KEEP:-}" ]; then
        rm -rf "$W_DIR"
    fi
}

# w_begin PROGRAM VTRLSIM [WINEPREFIX]: checks what the scenario needs and gives
# the program a directory of its own.  PROGRAM is vtrlupg.exe (or
# vtrlupg-demo.exe), run under Wine in
# WINEPREFIX (taken for this scenario alone, made on first use), or the Linux
# vtrlupg, run as it is: the scenarios that need no serial port hold both
# builds to the same screens.
w_begin() {
    [ $# -ge 2 ] || { echo "usage: $0 PROGRAM VTRLSIM [WINEPREFIX]" >&2; exit 2; }
    [ -f "$1" ] || w_fail "no program at $1"
    W_EXE=$(realpath "$1")
    W_VTRLSIM="$2"
    command -v tmux >/dev/null || w_skip "tmux is not installed (scripts/install-deps.sh)"
    W_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vtrl-wine-e2e.XXXXXX")
    W_TMUX="$W_DIR/tmux.sock"
    trap w_cleanup EXIT
    mkdir -p "$W_DIR/bin" "$W_DIR/cwd"
    W_PROGRAM_DIR="$W_DIR/bin"

    if [[ "$W_EXE" != *.exe ]]; then
        W_RUNNER=()
        W_PROGRAM="$W_PROGRAM_DIR/$(basename "$W_EXE")"
        cp "$W_EXE" "$W_PROGRAM"
        w_log "scratch directory $W_DIR, native program"
        return 0
    fi
    [ $# -ge 3 ] || w_fail "vtrlupg.exe needs a Wine prefix"
    command -v wine >/dev/null || w_skip "wine is not installed (scripts/install-deps.sh --windows)"
    W_RUNNER=(wine)
    W_WINE=1
    W_PROGRAM="$W_PROGRAM_DIR/$(basename "$W_EXE")"
    cp "$W_EXE" "$W_PROGRAM"
    export WINEPREFIX
    WINEPREFIX=$(realpath -m "$3")
    # One scenario at a time in this prefix: each restarts its wineserver.
    exec 8>"$WINEPREFIX.e2e.lock"
    flock 8
    "$W_SOURCE_DIR/scripts/wine-prefix.sh" "$WINEPREFIX" >>"$W_DIR/wine.log" 2>&1 ||
        w_fail "cannot prepare the Wine prefix $WINEPREFIX"
    w_log "scratch directory $W_DIR, Wine prefix $WINEPREFIX"
}

w_tmux() { tmux -S "$W_TMUX" "$@"; }

# w_need_sim: skips the scenario when the Linux build has no vtrlsim.
w_need_sim() {
    [ -x "$W_VTRLSIM" ] ||
        w_skip "no vtrlsim at $W_VTRLSIM: build the Linux preset first" \
            "(cmake --preset linux && cmake --build --preset linux), or point" \
            "VTRL_LINUX_BUILD_DIR at a Linux build"
}

# w_start_sim [vtrlsim options]: starts vtrlsim with its flash in
# $W_DIR/flash.bin and its events in $W_DIR/events.log; sets W_PTY.
w_start_sim() {
    w_need_sim
    : >"$W_DIR/events.log"
    "$W_VTRLSIM" --events "$W_DIR/events.log" "$@" "$W_DIR/flash.bin" \
        >"$W_DIR/sim.out" 2>"$W_DIR/sim.err" </dev/null &
    W_SIM_PID=$!
    local deadline=$((SECONDS + W_TIMEOUT))
    while ! [ -s "$W_DIR/sim.out" ]; do
        kill -0 "$W_SIM_PID" 2>/dev/null || w_fail "vtrlsim ended at start"
        [ $SECONDS -lt $deadline ] || w_fail "vtrlsim printed no pseudo-terminal"
        sleep 0.1
    done
    W_PTY=$(head -n 1 "$W_DIR/sim.out")
    [ -c "$W_PTY" ] || w_fail "vtrlsim's first line is not a terminal: $W_PTY"
    w_log "vtrlsim serves $W_PTY"
}

# w_stop_sim: ends vtrlsim, which writes the whole flash file once more.
w_stop_sim() {
    kill -TERM "$W_SIM_PID" 2>/dev/null
    wait "$W_SIM_PID" 2>/dev/null
    W_SIM_PID=
}

# w_map_com1: (Wine only) COM1 of the prefix becomes vtrlsim's pseudo-terminal.
w_map_com1() { w_map_ports "COM1=$W_PTY"; }

# w_map_ports COMn=PATH...: (Wine only) maps each port to its path.  Wine reads
# HKLM\Software\Wine\Ports when its server starts (its mount manager then links
# dosdevices\comN to the path), so the server is restarted.
w_map_ports() {
    local map port path link
    for map in "$@"; do
        port=${map%%=*}
        path=${map#*=}
        wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "$path" /f \
            </dev/null >>"$W_DIR/wine.log" 2>&1 || w_fail "wine reg add failed"
    done
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    "$W_SOURCE_DIR/scripts/wine-prefix.sh" "$WINEPREFIX" >>"$W_DIR/wine.log" 2>&1 ||
        w_fail "cannot restart Wine in $WINEPREFIX"
    for map in "$@"; do
        port=${map%%=*}
        path=${map#*=}
        link=$(readlink "$WINEPREFIX/dosdevices/${port,,}")
        [ "$link" = "$path" ] || w_fail "Wine did not map $port to $path (dosdevices/${port,,} -> $link)"
        w_log "$port is $path"
    done
}

# w_make_image SIZE VERSION [SEED]: writes a sound vtrlprog.bin of SIZE bytes
# beside the program with the Linux build's vtrl-sample-image (it sits in the
# driver folder of the build that holds vtrlsim): program bytes, then the
# version (LE32) and the CRC-16/ARC (LE16) of everything before it.
w_make_image() {
    local tool
    tool="$(dirname "$(dirname "$W_VTRLSIM")")/driver/vtrl-sample-image"
    [ -x "$tool" ] || w_fail "no vtrl-sample-image at $tool"
    "$tool" "$W_PROGRAM_DIR/vtrlprog.bin" "$1" "$2" "${3:-7}" || w_fail "cannot write the image"
    W_IMAGE="$W_PROGRAM_DIR/vtrlprog.bin"
    w_log "vtrlprog.bin: $1 bytes, version $2"
}

# w_flash_bytes OFFSET LENGTH [FILE]: hex of LENGTH bytes of the flash file from
# OFFSET (address - 0x80000).
w_flash_bytes() {
    od -An -v -tx1 -j "$1" -N "$2" "${3:-$W_DIR/flash.bin}" | tr -d ' \n'
}

# w_start_program [vtrlupg.exe options]: runs the program under Wine in an 80x40
# pane, started from another directory than its own; its exit status lands in
# $W_DIR/status.
w_start_program() {
    rm -f "$W_DIR/status"
    local args="" a
    for a in "$@"; do args+=" $(printf '%q' "$a")"; done
    w_tmux -f /dev/null new-session -d -s w -x 80 -y 40 \
        "cd $(printf '%q' "$W_DIR/cwd") && ${W_RUNNER[*]} $(printf '%q' "$W_PROGRAM")$args; echo \$? >$(printf '%q' "$W_DIR/status"); exec sleep 3600" ||
        w_fail "cannot start tmux"
    w_tmux set-option -t w status off >/dev/null
    w_log "$(basename "$W_PROGRAM")$args started"
}

w_screen() { w_tmux capture-pane -p -t w; }

w_screen_shows() { w_screen 2>/dev/null | grep -qF -- "$1"; }

# w_wait_text TEXT [SECONDS]: waits until TEXT appears on the pane.
w_wait_text() {
    wait_until "${2:-$W_TIMEOUT}" w_screen_shows "$1" || w_fail "the screen never showed \"$1\""
    w_log "screen shows \"$1\""
}

# w_wait_event LINE [SECONDS]: waits until vtrlsim has recorded LINE.
w_wait_event() {
    wait_until "${2:-$W_TIMEOUT}" has_line "$W_DIR/events.log" "$1" ||
        w_fail "vtrlsim never recorded \"$1\""
    w_log "vtrlsim recorded \"$1\""
}

w_send_keys() { w_tmux send-keys -t w "$@"; }

# w_expect_screen NAME: compares the pane cell by cell (character and colour)
# with the expectation lines on stdin (see screen.pl).
w_expect_screen() {
    local expect="$W_DIR/expect-$1.txt" capture="$W_DIR/capture-$1.txt"
    cat >"$expect"
    # Wine's console reaches the terminal in pieces: give a window being drawn
    # a moment to be complete before calling it wrong.
    local deadline=$((SECONDS + 3))
    while true; do
        w_tmux capture-pane -p -e -N -t w >"$capture"
        if perl "$W_SCRIPT_DIR/screen.pl" "$expect" <"$capture" 2>"$W_DIR/screen-diff.txt"; then
            w_log "screen \"$1\" matches cell by cell"
            return 0
        fi
        [ $SECONDS -lt $deadline ] || break
        sleep 0.2
    done
    cat "$W_DIR/screen-diff.txt" >&2
    w_fail "screen \"$1\" differs from what the program must show"
}

# w_expect_version_prompt OLD NEW: the version prompt, cell by cell, once shown.
w_expect_version_prompt() {
    w_wait_text " Proceed with download? y/n :"
    w_expect_screen version-prompt <<SCREEN
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  Old program version:  $1
text 17 18  New program version:  $2
text 17 20  Proceed with download? y/n :
SCREEN
}

# w_expect_title TEXT: the console title reached the pane.
w_expect_title() {
    local title
    title=$(w_tmux display-message -p -t w '#{pane_title}')
    [ "$title" = "$1" ] || w_fail "the title is \"$title\", not \"$1\""
    w_log "title \"$title\""
}

# w_wait_exit STATUS [SECONDS]: waits for the program to end with that exit status.
w_wait_exit() {
    wait_until "${2:-$W_TIMEOUT}" status_recorded "$W_DIR/status" || w_fail "the program did not end"
    local status
    status=$(cat "$W_DIR/status")
    [ "$status" = "$1" ] || w_fail "the program ended with status $status, not $1"
    w_log "the program ended with status $status"
}

w_pass() {
    w_log "PASS"
    exit 0
}
