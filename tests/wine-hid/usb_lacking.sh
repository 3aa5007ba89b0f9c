#!/usr/bin/env bash
# A HID driver that answers neither HidD_GetIndexedString nor HidD_FlushQueue
# (as Wine's own hidclass.sys does not): the found window shows "<not found>"
# for the three device strings, and a whole upgrade by the ready-flag way
# (release 1), which flushes before every poll, still ends as it should.
# Usage: usb_lacking.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
source "$(dirname "$0")/lib.sh"
u_begin "$@"

size=20000
u_install a:release=1,serial=VT-0001,extras=0
u_start_instrument a --trace --usb-release 1 --version 1006 --seed 3
record_before=$(u_calibration_record a)
e2e_make_image "$size" 1007

u_start_upgrade "<not found>" "<not found>" "<not found>"
u_finish_upgrade a "$record_before"
[ "$(u_count a "indexed string 3 not answered")" = 1 ] ||
    e2e_fail "the driver was not asked for the serial number string"
[ "$(u_count a "queue flush not answered")" -gt 0 ] || e2e_fail "the program never flushed the queue"
e2e_log "strings shown as <not found>; the upgrade ran with every flush refused"
e2e_pass
