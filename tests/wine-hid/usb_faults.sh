#!/usr/bin/env bash
# The ready-flag way (release 1) through Wine's HID class stack, meeting the
# stand-in's fault plan during a whole upgrade: a response whose ready flag
# stays down for a while is still taken in its own exchange; one whose flag
# stays down for longer than 400 polls fails that exchange, and so does a
# feature report that cannot be fetched (its fetch is not repeated: the error
# is not ERROR_IO_PENDING); each failed exchange is sent again by the retry
# rule, and the upgrade ends as it should.
# Usage: usb_faults.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
source "$(dirname "$0")/lib.sh"
u_begin "$@"

size=20000
writes=$((size / 498 * 2 + 1))  # two memory writes (command 0) a block, one for the tail
u_install a:release=1,serial=VT-0001
# Second memory writes of a block: after one, the flash address is set
# (command 3); after a failed one the whole block is written again.  The
# stream brings a status report every 1 ms and the program polls every 10 ms
# or so: 50 reports are a few polls, 20000 are far more than 400.
u_start_instrument a --trace --usb-release 1 --version 1006 --seed 3 \
    --fault not-ready@4/0:50 --fault not-ready@8/0:20000 --fault feature-fail@14/0
record_before=$(u_calibration_record a)
e2e_make_image "$size" 1007

u_start_upgrade
u_finish_upgrade a "$record_before"

[ "$(u_request_after a 0 4)" = 3 ] ||
    e2e_fail "the response kept not ready for a while was not taken in its exchange"
[ "$(u_request_after a 0 8)" = 0 ] ||
    e2e_fail "a response not ready after 400 polls did not fail its exchange"
[ "$(u_request_after a 0 14)" = 0 ] || e2e_fail "a failed feature fetch did not fail its exchange"
[ "$(u_count a "feature report refused")" = 1 ] ||
    e2e_fail "the failed feature fetch was made $(u_count a "feature report refused") times, not once"
[ "$(u_count a "request 0")" = $((writes + 4)) ] ||
    e2e_fail "$(u_count a "request 0") memory writes, not $writes and two blocks written again"
e2e_log "not ready for a while: same exchange; past 400 polls and a failed fetch: sent again"
e2e_pass
