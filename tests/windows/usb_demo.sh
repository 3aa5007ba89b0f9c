#!/usr/bin/env bash
# vtrlupg-demo.exe under Wine (or the Linux vtrlupg-demo), whose USB link reaches
# the stand-in in-process: the USB found window of 68 by 10 cells with the
# version and the device strings, then a whole upgrade of an image that reaches
# into the calibration sector, and afterwards the demo's flash file holding the
# image and the calibration record it had before.
# Usage: usb_demo.sh DEMO_PROGRAM VTRLSIM [WINEPREFIX]
source "$(dirname "$0")/lib.sh"
w_begin "$@"

# A factory-fresh flash file from vtrlsim, put where the demo keeps its flash.
e2e_start_sim --version 1006 --seed 5
e2e_stop_sim
cp "$E2E_DIR/flash.bin" "$E2E_PROGRAM_DIR/vtrlsim-demo-flash.bin"
calibration_offset=$((0xCFC00 - 0x80000))
record_before=$(e2e_flash_bytes "$calibration_offset" 1024)
size=300000
e2e_make_image "$size" 1007 11

w_start_program
e2e_wait_text "Serial Number = "
e2e_expect_screen usb-found <<'SCREEN'
fill 1F
box 7 15 74 24 1F 0F double
text 8 16 Found Vantrel on USB 
text 8 17 Firmware Version 1.006
text 8 18 Language = <English>
any 8 19 73 21
text 8 19 Maufacturer = 
text 8 20 Product = 
text 8 21 Serial Number = 
SCREEN

e2e_expect_version_prompt 1.006 1.007
e2e_send_keys Y

e2e_wait_text " Upgrade complete -- Restarting instrument!" 120
e2e_expect_screen complete <<'SCREEN'
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  Upgrade complete -- Restarting instrument!
SCREEN
e2e_wait_exit 0 15
[ -e "$E2E_PROGRAM_DIR/caldata.bin" ] && e2e_fail "caldata.bin was left beside the program"

flash="$E2E_PROGRAM_DIR/vtrlsim-demo-flash.bin"
[ "$(e2e_flash_bytes 0 4 "$flash")" = 3412a5a5 ] ||
    e2e_fail "marker words are $(e2e_flash_bytes 0 4 "$flash"), not 0x1234 0xA5A5"
cmp -s -n "$size" -i 4:0 "$flash" "$E2E_IMAGE" || e2e_fail "flash does not hold the image from 0x80004"
[ "$(e2e_flash_bytes "$calibration_offset" 1024 "$flash")" = "$record_before" ] ||
    e2e_fail "the calibration record changed"
e2e_log "flash holds the $size-byte image, valid markers and the original calibration record"
e2e_pass
