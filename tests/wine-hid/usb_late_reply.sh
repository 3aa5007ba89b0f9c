#!/usr/bin/env bash
# The input-report way (release 2) through Wine's HID class stack: a response
# that comes after its exchange has given up (10 s) is not taken for the next
# exchange.  It arrives during the 100 ms pause before the retry and must be
# thrown away; were it read as the retry's answer, every later exchange
# would read the answer of the one before and fail on the echo.
# Usage: usb_late_reply.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
source "$(dirname "$0")/lib.sh"
u_begin "$@"

size=20000
writes=$((size / 498 * 2 + 1))  # two memory writes (command 0) a block, one for the tail
u_install a:release=2,serial=VT-0001
# The second memory write of the fifth block: its block is written again.
u_start_instrument a --trace --usb-release 2 --version 1006 --seed 3 --fault late@10/0:10040
record_before=$(u_calibration_record a)
e2e_make_image "$size" 1007

u_start_upgrade
u_finish_upgrade a "$record_before"

[ "$(u_request_after a 0 10)" = 0 ] || e2e_fail "the block whose answer came late was not written again"
[ "$(u_count a "request 0")" = $((writes + 2)) ] ||
    e2e_fail "$(u_count a "request 0") memory writes, not $writes and one block written again"
e2e_log "the late answer was not taken for another exchange: one retry in the whole upgrade"
e2e_pass
