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
record_before=$(e2e_flash_bytes "$E2E_CALIBRATION_OFFSET" 1024)
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

e2e_expect_complete 120
e2e_expect_upgraded "$E2E_PROGRAM_DIR/vtrlsim-demo-flash.bin" "$record_before"
e2e_pass
