#!/usr/bin/env bash
# A full-size upgrade interrupted twice for real, then completed:
#  1. vtrlupg killed (SIGKILL) while the instrument erases its calibration
#     sector: vtrlsim kills the program as soon as it has taken that erase;
#     caldata.bin holds the record by then.
#  2. The next run finds the instrument on its boot loader and is offered the
#     saved record; vtrlsim's power is cut at its 20th programming command (the
#     calibration sector erased again) and switched on while vtrlupg retries:
#     the program reports the failure, keeps caldata.bin and ends with status
#     7 (the instrument changed, another run needed).
#  3. A third run completes whatever the keys and the terminal do: Ctrl+C,
#     Ctrl+\ and Ctrl+Z during the download stop nothing, and the terminal
#     closed mid-download (the pane killed) leaves the run to finish unseen,
#     with status 0: the flash file holds the image and the original record,
#     and caldata.bin is gone.
export E2E_TIMEOUT=${E2E_TIMEOUT:-180}
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

saved_record() { od -An -v -tx1 "$E2E_PROGRAM_DIR/caldata.bin" | tr -d ' \n'; }

e2e_make_image 326652 1007
e2e_start_sim --version 1006 --unpaced --erase-ms 500 --fault kill@5/16 --fault power@20/15 \
    --host-pid-file "$E2E_DIR/host.pid"
record=$(e2e_flash_bytes "$E2E_CALIBRATION_OFFSET" 1024)
e2e_bind_serial ttyS0

# 1. The program's own process id goes where vtrlsim looks for it.
e2e_open_pane "cd $(printf '%q' "$E2E_PROGRAM_DIR") &&
    sh -c 'echo \$\$ >../host.pid; exec ./vtrlupg -C'"
e2e_expect_version_prompt 1.006 1.007
e2e_send_keys y
e2e_wait_event "erase sector 0"
e2e_wait_event "host killed"
e2e_wait_exit 137
[ "$(saved_record)" = "$record" ] || e2e_fail "caldata.bin does not hold the calibration record"

# 2. Started again once the instrument has finished the erase: its late answer
# to the killed program's request is then old input, drained before the first
# request (one sent while the instrument was still busy would read that answer
# as its own, and find no instrument).
sleep 1
e2e_start_upgrade -C
e2e_expect_version_prompt 0.900 1.007
e2e_send_keys y
e2e_wait_text " Retry failed download? "
e2e_send_keys y
e2e_wait_event "power lost"
kill -USR1 "$E2E_SIM_PID"
e2e_wait_event "power on"
e2e_wait_text "Excessive retries error."
e2e_send_keys Enter
e2e_wait_exit 7
[ "$(e2e_flash_bytes "$E2E_CALIBRATION_OFFSET" 1024)" != "$record" ] ||
    e2e_fail "the calibration sector was not erased before the power cut"
[ "$(saved_record)" = "$record" ] || e2e_fail "caldata.bin does not hold the calibration record"

# 3.
remaining_blocks() {
    local line
    line=$(e2e_screen | sed -n 12p)
    [[ $line =~ Remaining\ blocks:\ ([0-9]+) ]] && echo "${BASH_REMATCH[1]}"
}
counts_below() { local now; now=$(remaining_blocks) && [ "$now" -lt "$1" ]; }
e2e_start_upgrade_in_window -C
e2e_expect_version_prompt 0.900 1.007
e2e_send_keys y
e2e_wait_text " Retry failed download? "
e2e_send_keys y
e2e_wait_text " Remaining blocks: "
for key in C-c 'C-\' C-z; do
    before=$(remaining_blocks) || e2e_fail "no block counter on the screen"
    e2e_send_keys "$key"
    wait_until 20 counts_below "$before" || e2e_fail "the download stopped at $before blocks after $key"
    e2e_log "$key: the download goes on below $before blocks"
done
e2e_close_pane
e2e_wait_exit 0 "$E2E_TIMEOUT"
[ -e "$E2E_PROGRAM_DIR/caldata.bin" ] && e2e_fail "caldata.bin was left beside the program"
e2e_wait_event "restart 0xFFFF0" 5
e2e_expect_upgraded "$E2E_DIR/flash.bin" "$record"
e2e_pass
