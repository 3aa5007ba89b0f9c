#!/usr/bin/env bash
# The serial search scripts/bench.sh times (see there): the real Linux vtrlupg
# started with -C where no instrument answers, from start to exit, its key
# waits answered at once (keys from a pipe that ends).  Once with no serial
# port at all, once with COM1 to COM3 present and silent (each a
# pseudo-terminal whose instrument never answers, in a private mount
# namespace through the end-to-end helpers).
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

silent=()
trap 'kill -TERM "${silent[@]}" 2>/dev/null; e2e_cleanup' EXIT

# time_search WHAT: one run of vtrlupg -C, which must end with status 2.
time_search() {
    local started ended
    started=$(date +%s%N)
    E2E_KEYS= e2e_start_upgrade -C
    e2e_wait_exit 2 120
    ended=$(date +%s%N)
    awk -v ns=$((ended - started)) -v what="$1" 'BEGIN {
        printf "vtrlupg -C, %s: %.1f s from start to exit\n", what, ns / 1e9 }'
}

time_search "no serial port"
for n in 0 1 2; do
    e2e_start_sim --version 1006 --fault cut@1
    silent+=("$E2E_SIM_PID")
    E2E_SIM_PID=
    e2e_bind_serial "ttyS$n"
done
time_search "COM1 to COM3 present, nothing answering"
echo "(each includes the 1 s of \"No instrument connected!\"; the key waits answered at once)"
e2e_pass
