#!/usr/bin/env bash
# A full-size upgrade over the serial line: vtrlupg finds the simulated
# instrument on COM1, saves its calibration record to caldata.bin, erases and
# downloads the 300000-byte image, puts the record back, writes the marker
# words, deletes caldata.bin and restarts the instrument.  Afterwards
# vtrlsim's flash file holds the image from 0x80004, the marker words and the
# instrument's original calibration record.
export E2E_TIMEOUT=${E2E_TIMEOUT:-180}
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

e2e_make_image 300000 1007
e2e_start_sim --version 1006 --unpaced
# The factory flash, for its calibration record (0xCFC00, file offset 0x4FC00).
cp "$E2E_DIR/flash.bin" "$E2E_DIR/factory.bin" || e2e_fail "no flash file"
e2e_bind_serial ttyS0
e2e_start_upgrade -C

e2e_wait_text "Found Vantrel Version 1.006 on COM1"
e2e_wait_text "New program version:  1.007"
e2e_send_keys y
e2e_wait_event "erase sector 0"
e2e_wait_text " Upgrade complete -- Restarting instrument!"
e2e_wait_event "restart 0xFFFF0"
e2e_wait_exit 0

[ -e "$E2E_PROGRAM_DIR/caldata.bin" ] && e2e_fail "caldata.bin was left behind"
ls "$E2E_PROGRAM_DIR" | grep -q 'caldata' && e2e_fail "a temporary calibration file was left"
cmp -n 300000 -i 4:0 "$E2E_DIR/flash.bin" "$E2E_IMAGE" ||
    e2e_fail "the flash does not hold the image from 0x80004"
cmp -n 1024 -i $((0x4FC00)):$((0x4FC00)) "$E2E_DIR/flash.bin" "$E2E_DIR/factory.bin" ||
    e2e_fail "the calibration record differs from the instrument's original"
[ "$(e2e_flash_bytes 0 4)" = "3412a5a5" ] || e2e_fail "marker words are $(e2e_flash_bytes 0 4)"
e2e_pass
