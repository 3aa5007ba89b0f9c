#!/usr/bin/env bash
# vtrlsim's power cut in the middle of a full-size download (after the 20th
# block, with sector 0 and its calibration record already erased) and
# switched on again while vtrlupg still retries: the program reports the
# failure and keeps caldata.bin; the next real run completes, and the flash
# file holds the image and the original record.
export E2E_TIMEOUT=${E2E_TIMEOUT:-180}
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

e2e_make_image 326652 1007
e2e_start_sim --version 1006 --unpaced --fault power@20/15
record=$(e2e_flash_bytes "$E2E_CALIBRATION_OFFSET" 1024)
e2e_bind_serial ttyS0
e2e_start_upgrade -C

e2e_expect_version_prompt 1.006 1.007
e2e_send_keys y
e2e_wait_event "power lost"
kill -USR1 "$E2E_SIM_PID"
e2e_wait_event "power on"
e2e_wait_text "Excessive retries error."
e2e_send_keys Enter
e2e_wait_exit 4
[ "$(e2e_flash_bytes "$E2E_CALIBRATION_OFFSET" 1024)" != "$record" ] ||
    e2e_fail "the calibration sector was not erased before the power cut"
[ "$(od -An -v -tx1 "$E2E_PROGRAM_DIR/caldata.bin" | tr -d ' \n')" = "$record" ] ||
    e2e_fail "caldata.bin does not hold the calibration record"

e2e_tmux kill-session -t e2e
e2e_start_upgrade -C
e2e_expect_version_prompt 0.900 1.007
e2e_send_keys y
e2e_wait_text " Retry failed download? "
e2e_send_keys y
e2e_expect_complete "$E2E_TIMEOUT"
e2e_expect_upgraded "$E2E_DIR/flash.bin" "$record"
e2e_pass
