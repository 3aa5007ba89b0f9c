# The Linux end-to-end scenarios: the real vtrlupg in an 80x40 tmux pane, its
# serial ports pseudo-terminals that vtrlsim serves, bound into a /dev of the
# scenario's own: the scenario runs in a private mount namespace whose /dev is
# a fresh tmpfs holding only what a terminal program needs and the serial
# ports the scenario makes.  Nothing is created under the host's /dev, so
# nothing is left there however the scenario ends (a time-out's kill included).
#
# A scenario script:
#
#   #!/usr/bin/env bash
#   source "$(dirname "$0")/lib.sh"
#   e2e_begin "$@"              # VTRLUPG VTRLSIM; re-enters itself in a namespace
#   e2e_start_sim --version 1006   # vtrlsim options
#   e2e_bind_serial ttyS0       # /dev/ttyS0 (COM1) is the simulator's pseudo-terminal
#   e2e_start_upgrade -C        # vtrlupg options
#   e2e_wait_text "Found Vantrel Version 1.006 on COM1"
#   e2e_wait_event "remote mode on"
#   e2e_pass
#
# and registered in CMakeLists.txt with vtrl_add_e2e_linux(<test name> <script>).
# Exit codes: 0 pass, 1 fail (with the pane and the simulator's output),
# 77 skip (the machine cannot make a private mount namespace).

source "$(dirname "${BASH_SOURCE[0]}")/../common/e2e.sh"

E2E_SCRIPT=$(realpath "$0")
E2E_LINUX_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# e2e_begin VTRLUPG VTRLSIM: checks the binaries, enters a private mount
# namespace (by running the calling script again under unshare) with a /dev of
# its own, and makes a scratch directory with the program in it.
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
                "user namespaces), so no serial port can be pointed at the simulator"
        fi
        E2E_IN_NAMESPACE=1 exec unshare --mount --propagation private \
            bash "$E2E_SCRIPT" "$E2E_VTRLUPG" "$E2E_VTRLSIM"
    fi

    e2e_make_dir e2e
    trap e2e_cleanup EXIT
    e2e_private_dev
    cp "$E2E_VTRLUPG" "$E2E_PROGRAM_DIR/vtrlupg"
    e2e_log "scratch directory $E2E_DIR"
}

# The namespace's own /dev: the host's devices a terminal program and tmux use,
# bound from the host's /dev, and nothing else.  It is put together on a fresh
# tmpfs beside the scratch directory's files and then moved over /dev.
e2e_private_dev() {
    local dev="$E2E_DIR/dev" n
    mkdir -p "$dev"
    mount -t tmpfs -o mode=755,size=1m vtrl-e2e-dev "$dev" || e2e_fail "cannot mount a private /dev"
    for n in null zero full random urandom tty; do
        : >"$dev/$n" && mount --bind "/dev/$n" "$dev/$n" || e2e_fail "cannot bind /dev/$n"
    done
    for n in pts shm; do
        mkdir "$dev/$n" && mount --bind "/dev/$n" "$dev/$n" || e2e_fail "cannot bind /dev/$n"
    done
    # New pseudo-terminals come from the devpts instance bound above.
    ln -s pts/ptmx "$dev/ptmx"
    ln -s /proc/self/fd "$dev/fd"
    ln -s /proc/self/fd/0 "$dev/stdin"
    ln -s /proc/self/fd/1 "$dev/stdout"
    ln -s /proc/self/fd/2 "$dev/stderr"
    mount --move "$dev" /dev || e2e_fail "cannot move the private /dev into place"
}

# e2e_bind_serial NAME: /dev/NAME (ttyS0 is COM1) becomes the simulator's
# pseudo-terminal.
e2e_bind_serial() {
    local device="/dev/$1"
    : >"$device" || e2e_fail "cannot make $device"
    mount --bind "$E2E_PTY" "$device" || e2e_fail "cannot bind $E2E_PTY to $device"
    e2e_log "$device is $E2E_PTY"
}

# e2e_unbind_serial NAME: takes the pseudo-terminal off /dev/NAME again (before
# another simulator's is bound there).
e2e_unbind_serial() {
    umount "/dev/$1" || e2e_fail "cannot take the pseudo-terminal off /dev/$1"
}

# e2e_start_upgrade [vtrlupg options]: runs the program from its own folder,
# its environment preceded by E2E_ENV (for instance "env TERM=dumb"), its keys
# from a pipe that carries E2E_KEYS and then ends when E2E_KEYS is set (else
# from the pane).  Its standard error lands in $E2E_DIR/stderr, and the
# shell's `times` after it (the program's CPU time on the second line) in
# $E2E_DIR/times.
e2e_start_upgrade() {
    local args="" a keys=""
    for a in "$@"; do args+=" $(printf '%q' "$a")"; done
    [ -n "${E2E_KEYS+set}" ] && keys="printf %s $(printf '%q' "$E2E_KEYS") | "
    rm -f "$E2E_DIR/times"
    e2e_open_pane "cd $(printf '%q' "$E2E_PROGRAM_DIR") && $keys${E2E_ENV:-} ./vtrlupg$args 2>$(printf '%q' "$E2E_DIR/stderr"); s=\$?; times >$(printf '%q' "$E2E_DIR/times"); (exit \$s)"
    e2e_log "vtrlupg$args started"
}

# e2e_start_upgrade_in_window [vtrlupg options]: runs the program from its own
# folder as a terminal window's shell runs a job, its exit status kept by
# keep_status.pl in $E2E_DIR/status so that it outlives the pane: the keys
# reach the program alone, and when the pane is closed (e2e_close_pane) its
# shell dies and the kernel hangs up the program, as when a window is closed.
e2e_start_upgrade_in_window() {
    local args="" a
    for a in "$@"; do args+=" $(printf '%q' "$a")"; done
    e2e_open_pane "cd $(printf '%q' "$E2E_PROGRAM_DIR") &&
        perl $(printf '%q' "$E2E_LINUX_DIR/keep_status.pl") $(printf '%q' "$E2E_DIR/status") \
            ./vtrlupg$args 2>$(printf '%q' "$E2E_DIR/stderr")"
    e2e_log "vtrlupg$args started (its status kept beyond the pane)"
}

# e2e_close_pane: the terminal goes away, as when its window is closed.
e2e_close_pane() {
    e2e_tmux kill-session -t e2e || e2e_fail "cannot close the pane"
    e2e_log "the pane was closed"
}
