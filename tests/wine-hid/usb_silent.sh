#!/usr/bin/env bash
# An instrument that falls silent during the download (release 1, through
# Wine's HID class stack): the memory write is tried 10 times, each attempt
# polling the ready flag 400 times, and the upgrade ends with "Excessive
# retries error." after at least that long; the instrument is then taken out
# of remote mode and the program ends with status 7 (its flash changed, the
# upgrade to be run again).
# Usage: usb_silent.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
source "$(dirname "$0")/lib.sh"
u_begin "$@"

u_install a:release=1,serial=VT-0001
u_start_instrument a --trace --usb-release 1 --version 1006 --seed 3 --fault no-reply@1x10/0
e2e_make_image 20000 1007

u_start_upgrade
wait_until "$E2E_TIMEOUT" has_line "$E2E_DIR/a.events" "request 0" || e2e_fail "no memory write was sent"
silent_from=$SECONDS
e2e_wait_text "Excessive retries error." 120
silent_for=$((SECONDS - silent_from))
# Over the progress window, which the first block never got to update.
e2e_expect_screen abort <<'SCREEN'
fill 1F
box 15 10 65 20 1F 0F double
text 16 11  Downloading: 
box 16 15 66 25 1F 0F double
text 17 16 Excessive retries error.
text 17 17  Download aborted.
text 17 18  Please press a key...
SCREEN
# 10 attempts of at least 400 polls 10 ms apart.
[ "$silent_for" -ge 40 ] || e2e_fail "the program gave up after ${silent_for} s, sooner than the retry rules allow"
[ "$(u_count a "request 0")" = 10 ] || e2e_fail "$(u_count a "request 0") memory writes, not 10"
e2e_send_keys x
e2e_wait_exit 7 15
wait_until 5 has_line "$E2E_DIR/a.events" "remote mode off" || e2e_fail "remote mode was not left"
e2e_log "silent for ${silent_for} s: 10 memory writes, then the abort message and remote mode off"
e2e_pass
