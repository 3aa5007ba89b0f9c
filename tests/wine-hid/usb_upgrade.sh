#!/usr/bin/env bash
# A whole upgrade by vtrlupg.exe over USB through Wine's HID class stack, with
# the instrument answering by input reports (release 2) or by the ready flag
# and a feature report (release 1): the found window, the version prompt, y,
# the progress window, the closing message, and afterwards the instrument's
# flash holding the image from 0x80004, valid marker words and the
# calibration record it had before, no caldata.bin left, the restart sent.
# Usage: usb_upgrade.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR RELEASE IMAGE_SIZE
#   IMAGE_SIZE up to 262140 takes the normal branch; above it the calibration
#   branch, which saves the record to caldata.bin and puts it back.
source "$(dirname "$0")/lib.sh"
release="${5:?release number}"
size="${6:?image size}"
u_begin "$1" "$2" "$3" "$4"

u_install a:release=$release,serial=VT-0001
u_start_instrument a --usb-release "$release" --version 1006 --seed 3
record_before=$(u_calibration_record a)
[ ${#record_before} = 2048 ] || e2e_fail "the instrument's flash file has no calibration record"
e2e_make_image "$size" 1007

u_start_upgrade

e2e_expect_progress_window
if [ "$size" -gt 262140 ]; then
    [ "$(e2e_flash_bytes 0 1024 "$E2E_PROGRAM_DIR/caldata.bin" 2>/dev/null)" = "$record_before" ] ||
        e2e_fail "caldata.bin beside the program does not hold the calibration record during the download"
    e2e_log "caldata.bin beside the program holds the calibration record"
    wait_until 120 has_line "$E2E_DIR/a.events" "erase sector 0" ||
        e2e_fail "the calibration sector was not erased"
fi
u_finish_upgrade a "$record_before"
e2e_pass
