# The end-to-end scenarios of the Windows program: vtrlupg.exe under Wine in an
# 80x40 tmux pane, its COM ports mapped through Wine's HKLM\Software\Wine\Ports
# to pseudo-terminals that vtrlsim (from the Linux build) serves.  Scenarios
# that need no serial port also run the Linux vtrlupg the same way, so both
# builds are held to the same screens.  What both builds' scenarios share is in
# tests/common/e2e.sh.
#
# A scenario script:
#
#   #!/usr/bin/env bash
#   source "$(dirname "$0")/lib.sh"
#   w_begin "$@"                      # PROGRAM VTRLSIM [WINEPREFIX]
#   e2e_start_sim --version 1006      # vtrlsim options
#   w_map_com1                        # COM1 is vtrlsim's pseudo-terminal
#   e2e_make_image 20000 1007         # vtrlprog.bin beside the program
#   w_start_program -C
#   e2e_wait_text " Found Vantrel Version 1.006 on COM1"
#   e2e_pass
#
# The scenarios take the Wine prefix for themselves (they restart its
# wineserver), one at a time.

source "$(dirname "${BASH_SOURCE[0]}")/../common/e2e.sh"
source "$E2E_SOURCE_DIR/scripts/wine-env.sh"
# The Wine of the build under test (the build gives VTRL_WINE_ARCH).
vtrl_wine_env || exit 2

export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

w_cleanup() {
    if [ -n "${W_WINE:-}" ]; then
        # Ends vtrlupg.exe should it still run, and with it its hold on the port.
        wineserver -k >/dev/null 2>&1 || true
    fi
    e2e_cleanup
}

# w_begin PROGRAM VTRLSIM [WINEPREFIX]: checks what the scenario needs and gives
# the program a directory of its own.  PROGRAM is vtrlupg.exe (or
# vtrlupg-demo.exe), run under Wine in WINEPREFIX (taken for this scenario
# alone, made on first use), or the Linux vtrlupg, run as it is.
w_begin() {
    [ $# -ge 2 ] || { echo "usage: $0 PROGRAM VTRLSIM [WINEPREFIX]" >&2; exit 2; }
    [ -f "$1" ] || e2e_fail "no program at $1"
    local exe
    exe=$(realpath "$1")
    E2E_VTRLSIM="$2"
    command -v tmux >/dev/null || e2e_skip "tmux is not installed (scripts/install-deps.sh)"
    e2e_make_dir wine-e2e
    trap w_cleanup EXIT
    if [[ "$exe" == *.exe ]]; then
        # A folder name outside every ANSI code page: the program finds its
        # image and keeps caldata.bin there only through the wide name of its
        # own file (GetModuleFileNameW and the wide file calls).
        E2E_PROGRAM_DIR="$E2E_DIR/Prüfstand Ω 計測"
        mkdir -p "$E2E_PROGRAM_DIR"
    fi
    W_PROGRAM="$E2E_PROGRAM_DIR/$(basename "$exe")"
    cp "$exe" "$W_PROGRAM"

    if [[ "$exe" != *.exe ]]; then
        W_RUNNER=()
        e2e_log "scratch directory $E2E_DIR, native program"
        return 0
    fi
    [ $# -ge 3 ] || e2e_fail "vtrlupg.exe needs a Wine prefix"
    vtrl_wine_present || e2e_fail "no $VTRL_WINE_ARCH Wine at $VTRL_WINE (scripts/install-deps.sh --windows)"
    W_RUNNER=("$VTRL_WINE")
    W_WINE=1
    export WINEPREFIX
    WINEPREFIX=$(realpath -m "$3")
    # One scenario at a time in this prefix: each restarts its wineserver.
    exec 8>"$WINEPREFIX.e2e.lock"
    flock 8
    # Wine's server and services outlive this script: they must not inherit
    # the scenario lock (fd 8), or a scenario killed midway leaves it held.
    "$E2E_SOURCE_DIR/scripts/wine-prefix.sh" "$WINEPREFIX" >>"$E2E_DIR/wine.log" 2>&1 8>&- ||
        e2e_fail "cannot prepare the Wine prefix $WINEPREFIX"
    e2e_log "scratch directory $E2E_DIR, Wine prefix $WINEPREFIX"
}

# w_map_com1: (Wine only) COM1 of the prefix becomes vtrlsim's pseudo-terminal.
w_map_com1() { w_map_ports "COM1=$E2E_PTY"; }

# w_map_ports COMn=PATH...: (Wine only) maps each port to its path.  Wine reads
# HKLM\Software\Wine\Ports when its server starts (its mount manager then links
# dosdevices\comN to the path), so the server is restarted.
w_map_ports() {
    local map port path link
    for map in "$@"; do
        port=${map%%=*}
        path=${map#*=}
        wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "$path" /f \
            </dev/null >>"$E2E_DIR/wine.log" 2>&1 || e2e_fail "wine reg add failed"
    done
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    "$E2E_SOURCE_DIR/scripts/wine-prefix.sh" "$WINEPREFIX" >>"$E2E_DIR/wine.log" 2>&1 8>&- ||
        e2e_fail "cannot restart Wine in $WINEPREFIX"
    for map in "$@"; do
        port=${map%%=*}
        path=${map#*=}
        link=$(readlink "$WINEPREFIX/dosdevices/${port,,}")
        [ "$link" = "$path" ] || e2e_fail "Wine did not map $port to $path (dosdevices/${port,,} -> $link)"
        e2e_log "$port is $path"
    done
}

# w_start_program [options]: runs the program (under Wine for an .exe) in the
# pane, started from another directory than its own.
w_start_program() {
    local args="" a
    for a in "$@"; do args+=" $(printf '%q' "$a")"; done
    e2e_open_pane "cd $(printf '%q' "$E2E_DIR/cwd") && ${W_RUNNER[*]} $(printf '%q' "$W_PROGRAM")$args" 8>&-
    e2e_log "$(basename "$W_PROGRAM")$args started"
}

# w_expect_title TEXT: the console title reached the pane.
w_expect_title() {
    local title
    title=$(e2e_tmux display-message -p -t e2e '#{pane_title}')
    [ "$title" = "$1" ] || e2e_fail "the title is \"$title\", not \"$1\""
    e2e_log "title \"$title\""
}
