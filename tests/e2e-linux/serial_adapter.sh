#!/usr/bin/env bash
# A USB-to-serial adapter: with no on-board serial port and the simulated
# instrument on /dev/ttyUSB0, -C finds it as COM1.  Then the end of
# the input at each kind of key wait (keys from a pipe that ends, after a
# signal interrupted a pause where there is one before it): the program
# ends as if the operator had answered no, changes nothing on the instrument
# and uses next to no CPU time; the last message it showed stays in the
# terminal.  Last, a wait at the version prompt on the terminal's keyboard
# uses no CPU while it waits.
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

now_ms() { date +%s%3N; }
# CPU seconds of the program, from the shell's `times` after it, in ms.
cpu_ms() {
    sed -n 2p "$E2E_DIR/times" |
        awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, p, /m|s/); t += p[1] * 60 + p[2] } print int(t * 1000) }'
}

# image | vtrlsim options | vtrlupg options | exit status | last message | event that must, ! must not, happen
while IFS='|' read -r image sim_options options status last_message event; do
    [ -n "$image" ] || continue
    rm -f "$E2E_PROGRAM_DIR/vtrlprog.bin"
    [ "$image" = yes ] && e2e_make_image 20000 1007
    # shellcheck disable=SC2086
    e2e_start_sim --version 1006 $sim_options
    e2e_bind_serial ttyUSB0
    started=$(now_ms)
    # shellcheck disable=SC2086
    E2E_KEYS= e2e_start_upgrade $options
    if [[ "$options" == *-C* && "$status" != 1 ]]; then
        e2e_wait_text "Found Vantrel Version 1.006 on COM1"
        # A terminal resized during the pause that follows interrupts it
        # with a signal; the key wait after it must still see the end of input.
        e2e_tmux resize-window -t e2e -x 80 -y 38
    fi
    e2e_wait_exit "$status"
    wall=$(($(now_ms) - started))
    wait_until 5 test -s "$E2E_DIR/times" || e2e_fail "no CPU times recorded"
    cpu=$(cpu_ms)
    e2e_log "ended after ${wall} ms, ${cpu} ms of CPU time"
    [ $((cpu * 4)) -lt $((wall + 400)) ] || e2e_fail "the program used ${cpu} ms of CPU in ${wall} ms"
    e2e_tmux capture-pane -p -S - -t e2e | grep -qF -- "$last_message" ||
        e2e_fail "\"$last_message\" did not stay in the terminal"
    if [ "${event:0:1}" = "!" ]; then
        sleep 0.3
        has_line "$E2E_DIR/events.log" "${event:1}" && e2e_fail "vtrlsim recorded \"${event:1}\""
    elif [ -n "$event" ]; then
        e2e_wait_event "$event"
    fi
    e2e_stop_sim
    e2e_unbind_serial ttyUSB0
done <<'TABLE'
no||-C|4|Cannot open program file|remote mode off
yes||-C|4|Proceed with download? y/n :|remote mode off
yes|--status 0x20|-C|3|Update not allowed while protocol is running|!remote mode on
no||-C -q|1|Unknown argument -q.|
no|||2|No instrument connected!|
TABLE

# A wait for a key from the terminal: the program's CPU time stands still.
e2e_make_image 20000 1007
e2e_start_sim --version 1006
e2e_bind_serial ttyUSB0
e2e_start_upgrade -C
e2e_wait_text "Proceed with download? y/n :"
pid=
for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2>/dev/null)" = "$E2E_PROGRAM_DIR/vtrlupg" ] && pid=${p#/proc/}
done
[ -n "$pid" ] || e2e_fail "vtrlupg is not running at the version prompt"
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
before=$(ticks)
sleep 2
spent=$(($(ticks) - before))
e2e_log "waiting 2 s at the version prompt took $spent clock ticks of CPU"
[ "$spent" -le 4 ] || e2e_fail "the program used $spent clock ticks of CPU while waiting for a key"
e2e_send_keys n
e2e_wait_exit 4
e2e_pass
