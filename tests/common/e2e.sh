# What the end-to-end scenarios of both builds share (sourced by
# tests/e2e-linux/lib.sh and tests/windows/lib.sh): a scratch directory, the
# program in an 80x40 tmux pane of a private tmux server, vtrlsim with its flash
# file and event log, waiting for the screen, the events and the exit status,
# cell-by-cell screen comparison, and clean-up on every way out.
#
# The including library sets E2E_DIR (e2e_make_dir) and calls e2e_cleanup from
# its own EXIT trap; e2e_fail shows the pane and the simulator's output.
# Exit codes: 0 pass, 1 fail, 77 skip.

set -uo pipefail

E2E_SKIP=77
E2E_COMMON_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_SOURCE_DIR=$(cd "$E2E_COMMON_DIR/../.." && pwd)
E2E_TIMEOUT=${E2E_TIMEOUT:-60}  # seconds any one wait may take
# tmux and the programs agree on UTF-8, so frames arrive as line-drawing characters.
export LC_ALL=C.UTF-8

e2e_log() { echo "[$(date +%H:%M:%S)] $*"; }

# --- waiting --------------------------------------------------------------
# wait_until SECONDS COMMAND [ARGS...]: runs COMMAND every 0.1 s until it
# succeeds (returns 0) or SECONDS have passed (returns 1).
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    while [ $SECONDS -lt $deadline ]; do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# has_line FILE LINE: FILE holds LINE as a whole line.
has_line() { grep -qxF -- "$2" "$1" 2>/dev/null; }

# status_recorded FILE: the program's exit status has been written to FILE.
status_recorded() { [ -s "$1" ]; }

# --- outcome ----------------------------------------------------------------
e2e_dump() {
    if [ -n "${E2E_TMUX:-}" ] && e2e_tmux has-session -t e2e 2>/dev/null; then
        echo "----- pane -----"
        e2e_tmux capture-pane -p -t e2e
    fi
    if [ -n "${E2E_DIR:-}" ]; then
        local f
        for f in "$E2E_DIR"/sim.out "$E2E_DIR"/sim.err "$E2E_DIR"/events.log "$E2E_DIR"/wine.log \
            "$E2E_DIR"/stderr; do
            [ -s "$f" ] && { echo "----- $(basename "$f") -----"; tail -n 40 "$f"; }
        done
    fi
}

e2e_fail() {
    echo "FAIL: $*" >&2
    e2e_dump >&2
    exit 1
}

e2e_skip() {
    echo "SKIP: $*" >&2
    exit "$E2E_SKIP"
}

e2e_pass() {
    e2e_log "PASS"
    exit 0
}

# --- scratch directory and clean-up ----------------------------------------
# e2e_make_dir TAG: a scratch directory with bin/ (the program's own folder,
# where it looks for its image) and cwd/ (where it is started from).
e2e_make_dir() {
    E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vtrl-$1.XXXXXX")
    E2E_TMUX="$E2E_DIR/tmux.sock"
    mkdir -p "$E2E_DIR/bin" "$E2E_DIR/cwd"
    E2E_PROGRAM_DIR="$E2E_DIR/bin"
}

# The pane, the simulator and the scratch directory (kept with E2E_KEEP=1).
e2e_cleanup() {
    if [ -n "${E2E_TMUX:-}" ]; then
        e2e_tmux kill-server 2>/dev/null || true
    fi
    e2e_stop_sim
    if [ -n "${E2E_DIR:-}" ] && [ -z "${E2E_KEEP:-}" ]; then
        # Never into a mount (a device bound into the scratch directory).
        rm -rf --one-file-system "$E2E_DIR"
    fi
}

# --- the simulated instrument ----------------------------------------------
# e2e_start_sim [vtrlsim options]: starts vtrlsim ($E2E_VTRLSIM, from the
# Linux build) with its flash in $E2E_DIR/flash.bin and its events in
# $E2E_DIR/events.log; sets E2E_PTY.
e2e_start_sim() {
    [ -x "$E2E_VTRLSIM" ] ||
        e2e_skip "no vtrlsim at $E2E_VTRLSIM: build the Linux preset first" \
            "(cmake --preset linux && cmake --build --preset linux)"
    : >"$E2E_DIR/events.log"
    rm -f "$E2E_DIR/sim.out"  # a simulator started before has left its own
    "$E2E_VTRLSIM" --events "$E2E_DIR/events.log" "$@" "$E2E_DIR/flash.bin" \
        >"$E2E_DIR/sim.out" 2>"$E2E_DIR/sim.err" </dev/null &
    E2E_SIM_PID=$!
    local deadline=$((SECONDS + E2E_TIMEOUT))
    while ! [ -s "$E2E_DIR/sim.out" ]; do
        kill -0 "$E2E_SIM_PID" 2>/dev/null || e2e_fail "vtrlsim ended at start"
        [ $SECONDS -lt $deadline ] || e2e_fail "vtrlsim printed no pseudo-terminal"
        sleep 0.1
    done
    E2E_PTY=$(head -n 1 "$E2E_DIR/sim.out")
    [ -c "$E2E_PTY" ] || e2e_fail "vtrlsim's first line is not a terminal: $E2E_PTY"
    e2e_log "vtrlsim serves $E2E_PTY"
}

# e2e_stop_sim: ends vtrlsim, which writes the whole flash file once more.
e2e_stop_sim() {
    if [ -n "${E2E_SIM_PID:-}" ]; then
        kill -TERM "$E2E_SIM_PID" 2>/dev/null || true
        wait "$E2E_SIM_PID" 2>/dev/null || true
        E2E_SIM_PID=
    fi
}

# e2e_wait_event LINE [SECONDS]: waits until vtrlsim has recorded LINE.
e2e_wait_event() {
    wait_until "${2:-$E2E_TIMEOUT}" has_line "$E2E_DIR/events.log" "$1" ||
        e2e_fail "vtrlsim never recorded \"$1\""
    e2e_log "vtrlsim recorded \"$1\""
}

# e2e_make_image SIZE VERSION [SEED]: a sound vtrlprog.bin of SIZE bytes beside
# the program, written by the Linux build's vtrl-sample-image (built beside
# vtrlsim): program bytes, then the version (LE32) and the CRC-16/ARC (LE16)
# of everything before it.  Sets E2E_IMAGE.
e2e_make_image() {
    local tool
    tool="$(dirname "$E2E_VTRLSIM")/vtrl-sample-image"
    [ -x "$tool" ] || e2e_fail "no vtrl-sample-image at $tool"
    "$tool" "$E2E_PROGRAM_DIR/vtrlprog.bin" "$1" "$2" "${3:-7}" || e2e_fail "cannot write the image"
    E2E_IMAGE="$E2E_PROGRAM_DIR/vtrlprog.bin"
    e2e_log "vtrlprog.bin: $1 bytes, version $2"
}

# e2e_flash_bytes OFFSET LENGTH [FILE]: hex of LENGTH bytes of the flash file
# from OFFSET (address - 0x80000).
e2e_flash_bytes() {
    od -An -v -tx1 -j "$1" -N "$2" "${3:-$E2E_DIR/flash.bin}" | tr -d ' \n'
}

# --- the program in a pane ------------------------------------------------
e2e_tmux() { tmux -S "$E2E_TMUX" "$@"; }

# e2e_open_pane COMMAND: runs the shell COMMAND in a pane of E2E_COLUMNS by
# E2E_ROWS cells (80x40), in place of the pane of a command run before; its
# exit status lands in $E2E_DIR/status and the pane stays for the screen to be
# read.
e2e_open_pane() {
    rm -f "$E2E_DIR/status"
    # A pane before this one goes only once the new one stands: a server left
    # without sessions exits, and a new session asked of it meanwhile fails.
    local previous=""
    if e2e_tmux rename-session -t e2e e2e-previous 2>/dev/null; then
        previous=e2e-previous
    fi
    e2e_tmux -f /dev/null new-session -d -s e2e -x "${E2E_COLUMNS:-80}" -y "${E2E_ROWS:-40}" \
        "$1; echo \$? >$(printf '%q' "$E2E_DIR/status"); exec sleep 3600" ||
        e2e_fail "cannot start tmux"
    [ -z "$previous" ] || e2e_tmux kill-session -t "$previous" 2>/dev/null || true
    e2e_tmux set-option -t e2e status off >/dev/null
}

e2e_screen() { e2e_tmux capture-pane -p -t e2e; }

e2e_screen_shows() { e2e_screen 2>/dev/null | grep -qF -- "$1"; }

# e2e_wait_text TEXT [SECONDS]: waits until TEXT appears on the pane.
e2e_wait_text() {
    wait_until "${2:-$E2E_TIMEOUT}" e2e_screen_shows "$1" ||
        e2e_fail "the screen never showed \"$1\""
    e2e_log "screen shows \"$1\""
}

# e2e_send_keys KEYS...: keys to the program (tmux send-keys names).
e2e_send_keys() { e2e_tmux send-keys -t e2e "$@"; }

# e2e_wait_exit STATUS [SECONDS]: waits for the program to end with that status.
e2e_wait_exit() {
    wait_until "${2:-$E2E_TIMEOUT}" status_recorded "$E2E_DIR/status" ||
        e2e_fail "the program did not end"
    local status
    status=$(cat "$E2E_DIR/status")
    [ "$status" = "$1" ] || e2e_fail "the program ended with status $status, not $1"
    e2e_log "the program ended with status $status"
}

# e2e_expect_screen NAME: compares the pane cell by cell (character and colour)
# with the expectation lines on stdin (see screen.pl).
e2e_expect_screen() {
    local expect="$E2E_DIR/expect-$1.txt" capture="$E2E_DIR/capture-$1.txt"
    cat >"$expect"
    # A console reaches the terminal in pieces: give a window being drawn a
    # moment to be complete before calling it wrong.
    local deadline=$((SECONDS + 3))
    while true; do
        e2e_tmux capture-pane -p -e -N -t e2e >"$capture"
        if perl "$E2E_COMMON_DIR/screen.pl" "$expect" <"$capture" 2>"$E2E_DIR/screen-diff.txt"; then
            e2e_log "screen \"$1\" matches cell by cell"
            return 0
        fi
        [ $SECONDS -lt $deadline ] || break
        sleep 0.2
    done
    cat "$E2E_DIR/screen-diff.txt" >&2
    e2e_fail "screen \"$1\" differs from what the program must show"
}

# e2e_expect_version_prompt OLD NEW: the version prompt, cell by cell, once shown.
e2e_expect_version_prompt() {
    e2e_wait_text " Proceed with download? y/n :"
    e2e_expect_screen version-prompt <<SCREEN
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  Old program version:  $1
text 17 18  New program version:  $2
text 17 20  Proceed with download? y/n :
SCREEN
}

# e2e_expect_progress_window: the progress window, cell by cell, once shown:
# its frame, its first line, and the block counter on its second.
e2e_expect_progress_window() {
    e2e_wait_text " Remaining blocks: "
    e2e_expect_screen progress <<'SCREEN'
fill 1F
box 15 10 65 20 1F 0F double
text 16 11  Downloading: 
text 16 12  Remaining blocks: 
any 35 12 64 12
SCREEN
}

# e2e_expect_complete SECONDS: the final message within SECONDS, cell by cell,
# then the program's end with status 0 and no caldata.bin beside it.
e2e_expect_complete() {
    e2e_wait_text " Upgrade complete -- Restarting instrument!" "$1"
    e2e_expect_screen complete <<'SCREEN'
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  Upgrade complete -- Restarting instrument!
SCREEN
    e2e_wait_exit 0 15
    [ -e "$E2E_PROGRAM_DIR/caldata.bin" ] && e2e_fail "caldata.bin was left beside the program"
    return 0
}

# The calibration record's place in a flash file (0xCFC00 - 0x80000).
E2E_CALIBRATION_OFFSET=$((0xCFC00 - 0x80000))

# e2e_expect_upgraded FLASH_FILE RECORD: the flash file holds the image
# ($E2E_IMAGE) from 0x80004, valid marker words and RECORD (hex, as
# e2e_flash_bytes gives it) at 0xCFC00.
e2e_expect_upgraded() {
    local flash=$1 size
    size=$(stat -c %s "$E2E_IMAGE")
    [ "$(e2e_flash_bytes 0 4 "$flash")" = 3412a5a5 ] ||
        e2e_fail "marker words are $(e2e_flash_bytes 0 4 "$flash"), not 0x1234 0xA5A5"
    cmp -s -n "$size" -i 4:0 "$flash" "$E2E_IMAGE" ||
        e2e_fail "flash does not hold the image from 0x80004"
    [ "$(e2e_flash_bytes "$E2E_CALIBRATION_OFFSET" 1024 "$flash")" = "$2" ] ||
        e2e_fail "the calibration record changed"
    e2e_log "flash holds the $size-byte image, valid markers and the original calibration record"
}
