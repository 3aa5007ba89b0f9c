#!/usr/bin/env bash
# A full-size upgrade over the serial line: vtrlupg finds the simulated
# instrument on COM1, saves its calibration record to caldata.bin, erases and
# downloads the 300000-byte image, puts the record back, writes the marker
# words, deletes caldata.bin and restarts the instrument.  Afterwards
# vtrlsim's flash file holds the image from 0x80004, the marker words and the
# instrument's original calibration record, and the final message stays in
# the terminal after the program has ended.
export E2E_TIMEOUT=${E2E_TIMEOUT:-180}
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

e2e_make_image 300000 1007
e2e_start_sim --version 1006 --unpaced
record_before=$(e2e_flash_bytes "$E2E_CALIBRATION_OFFSET" 1024)
e2e_bind_serial ttyS0
e2e_start_upgrade -C

e2e_wait_text "Found Vantrel Version 1.006 on COM1"
e2e_wait_text "New program version:  1.007"
e2e_send_keys y
e2e_wait_event "erase sector 0"
e2e_expect_complete "$E2E_TIMEOUT"
e2e_tmux capture-pane -p -S - -t e2e | grep -qF " Upgrade complete -- Restarting instrument!" ||
    e2e_fail "the final message did not stay in the terminal after the end"
e2e_wait_event "restart 0xFFFF0"
ls "$E2E_PROGRAM_DIR" | grep -q 'caldata' && e2e_fail "a temporary calibration file was left"
e2e_expect_upgraded "$E2E_DIR/flash.bin" "$record_before"
e2e_pass
