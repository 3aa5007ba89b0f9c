# Helpers for the Linux end-to-end scenarios: the real vtrlupg in an 80x40 tmux
# pane, its /dev/ttyS0 (COM1) a bind mount of the pseudo-terminal that vtrlsim
# serves, all inside a private mount namespace so that nothing outside the
# test sees the mount.
#
# A scenario script:
#
#   #!/usr/bin/env bash
#   source "$(dirname "$0")/lib.sh"
#   e2e_begin "$@"              # VTRLUPG VTRLSIM; re-enters itself in a namespace
#   e2e_start_sim               # extra vtrlsim options may follow
#   e2e_bind_com 1              # COM1 is the simulator's pseudo-terminal
#   e2e_start_upgrade -C        # vtrlupg options
#   e2e_wait_screen "Found Vantrel Version 1.006 on COM1"
#   e2e_wait_event "remote mode on"
#   e2e_pass
#
# and registered in CMakeLists.txt with vtrl_add_e2e_linux(<test name> <script>).
#
# Exit codes: 0 pass, 1 fail (with the pane and the simulator's output),
# 77 skip (the machine cannot make a private mount namespace).

set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common/wait.sh"

E2E_SKIP=77
E2E_SCRIPT=$(realpath "$0")
E2E_MOUNTS=()
E2E_MADE_DEVICES=()
E2E_TIMEOUT=${E2E_TIMEOUT:-60}  # seconds any one wait may take

e2e_log() { echo "[$(date +%H:%M:%S)] $*"; }

# Everything the scenario left behind, shown when it fails.
e2e_dump() {
    if [ -n "${E2E_TMUX:-}" ] && e2e_tmux has-session -t e2e 2>/dev/null; then
        echo "----- pane -----"
        e2e_tmux capture-pane -p -t e2e
    fi
    if [ -n "${E2E_DIR:-}" ]; then
        for f in "$E2E_DIR"/sim.out "$E2E_DIR"/sim.err "$E2E_DIR"/events.log; do
            [ -s "$f" ] && { echo "----- $(basename "$f") -----"; cat "$f"; }
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

e2e_cleanup() {
    if [ -n "${E2E_TMUX:-}" ]; then
        e2e_tmux kill-server 2>/dev/null || true
    fi
    if [ -n "${E2E_SIM_PID:-}" ]; then
        kill -TERM "$E2E_SIM_PID" 2>/dev/null || true
        wait "$E2E_SIM_PID" 2>/dev/null || true
    fi
    local m
    for m in "${E2E_MOUNTS[@]}"; do umount "$m" 2>/dev/null || true; done
    for m in "${E2E_MADE_DEVICES[@]}"; do rm -f "$m"; done
    if [ -n "${E2E_DIR:-}" ] && [ -z "${E2E_KEEP:-}" ]; then
        rm -rf "$E2E_DIR"
    fi
}

# e2e_begin VTRLUPG VTRLSIM: checks the binaries, enters a private mount
# namespace (by running the calling script again under unshare) and makes a
# scratch directory.
e2e_begin() {
    [ $# -ge 2 ] || { echo "usage: $0 VTRLUPG VTRLSIM" >&2; exit 2; }
    E2E_VTRLUPG=$(realpath "$1")
    E2E_VTRLSIM=$(realpath "$2")
    [ -x "$E2E_VTRLUPG" ] || e2e_fail "no vtrlupg at $1"
    [ -x "$E2E_VTRLSIM" ] || e2e_fail "no vtrlsim at $2"
    command -v tmux >/dev/null || e2e_fail "tmux is not installed"

    if [ -z "${E2E_IN_NAMESPACE:-}" ]; then
        if ! unshare --mount --propagation private true 2>/dev/null; then
            e2e_skip "cannot make a private mount namespace here (unshare -m needs root or" \
                "user namespaces), so /dev/ttyS0 cannot be pointed at the simulator"
        fi
        E2E_IN_NAMESPACE=1 exec unshare --mount --propagation private \
            bash "$E2E_SCRIPT" "$E2E_VTRLUPG" "$E2E_VTRLSIM"
    fi

    E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vtrl-e2e.XXXXXX")
    E2E_TMUX="$E2E_DIR/tmux.sock"
    trap e2e_cleanup EXIT
    # The program looks for its image beside itself: give it a directory of its own.
    mkdir -p "$E2E_DIR/bin"
    cp "$E2E_VTRLUPG" "$E2E_DIR/bin/vtrlupg"
    E2E_PROGRAM_DIR="$E2E_DIR/bin"
    e2e_log "scratch directory $E2E_DIR"
}

e2e_tmux() { tmux -S "$E2E_TMUX" "$@"; }

# e2e_start_sim [vtrlsim options]: starts vtrlsim with its flash in
# $E2E_DIR/flash.bin and its events in $E2E_DIR/events.log; sets E2E_PTY.
e2e_start_sim() {
    : >"$E2E_DIR/events.log"
    "$E2E_VTRLSIM" --events "$E2E_DIR/events.log" "$@" "$E2E_DIR/flash.bin" \
        >"$E2E_DIR/sim.out" 2>"$E2E_DIR/sim.err" &
    E2E_SIM_PID=$!
    local waited=0
    while ! [ -s "$E2E_DIR/sim.out" ]; do
        kill -0 "$E2E_SIM_PID" 2>/dev/null || e2e_fail "vtrlsim ended at start"
        [ $waited -lt $((E2E_TIMEOUT * 10)) ] || e2e_fail "vtrlsim printed no pseudo-terminal"
        sleep 0.1
        waited=$((waited + 1))
    done
    E2E_PTY=$(head -n 1 "$E2E_DIR/sim.out")
    [ -c "$E2E_PTY" ] || e2e_fail "vtrlsim's first line is not a terminal: $E2E_PTY"
    e2e_log "vtrlsim serves $E2E_PTY"
}

# e2e_bind_com N: COM N (/dev/ttyS{N-1}) becomes the simulator's pseudo-terminal.
# A machine without that device gets an empty file to mount on, removed again
# at the end.
e2e_bind_com() {
    local device="/dev/ttyS$(($1 - 1))"
    if ! [ -e "$device" ]; then
        : >"$device" || e2e_fail "$device does not exist and cannot be made"
        E2E_MADE_DEVICES+=("$device")
    fi
    mount --bind "$E2E_PTY" "$device" || e2e_fail "cannot bind $E2E_PTY to $device"
    E2E_MOUNTS+=("$device")
    e2e_log "COM$1 ($device) is $E2E_PTY"
}

# e2e_start_upgrade [vtrlupg options]: runs the program in an 80x40 pane; its
# exit status lands in $E2E_DIR/status.
e2e_start_upgrade() {
    rm -f "$E2E_DIR/status"
    local args=""
    local a
    for a in "$@"; do args+=" $(printf '%q' "$a")"; done
    e2e_tmux -f /dev/null new-session -d -s e2e -x 80 -y 40 \
        "cd $(printf '%q' "$E2E_PROGRAM_DIR") && ./vtrlupg$args; echo \$? >$(printf '%q' "$E2E_DIR/status"); sleep 3600" ||
        e2e_fail "cannot start tmux"
    e2e_tmux set-option -t e2e status off >/dev/null
    e2e_log "vtrlupg$args started"
}

e2e_screen() { e2e_tmux capture-pane -p -t e2e; }

e2e_screen_shows() { e2e_screen 2>/dev/null | grep -qF -- "$1"; }

# e2e_wait_screen TEXT: waits until TEXT appears on the pane.
e2e_wait_screen() {
    wait_until "$E2E_TIMEOUT" e2e_screen_shows "$1" || e2e_fail "the screen never showed \"$1\""
    e2e_log "screen shows \"$1\""
}

# e2e_wait_event LINE: waits until vtrlsim has recorded LINE.
e2e_wait_event() {
    wait_until "$E2E_TIMEOUT" has_line "$E2E_DIR/events.log" "$1" ||
        e2e_fail "vtrlsim never recorded \"$1\""
    e2e_log "vtrlsim recorded \"$1\""
}

# e2e_send_keys KEYS...: keys to the program (tmux send-keys names).
e2e_send_keys() { e2e_tmux send-keys -t e2e "$@"; }

# e2e_wait_exit STATUS: waits for the program to end with that exit status.
e2e_wait_exit() {
    wait_until "$E2E_TIMEOUT" status_recorded "$E2E_DIR/status" || e2e_fail "vtrlupg did not end"
    local status
    status=$(cat "$E2E_DIR/status")
    [ "$status" = "$1" ] || e2e_fail "vtrlupg ended with status $status, not $1"
    e2e_log "vtrlupg ended with status $status"
}

e2e_pass() {
    e2e_log "PASS"
    exit 0
}
