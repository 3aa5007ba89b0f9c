#!/usr/bin/env bash
# An instrument that falls silent during the download (release 1, through
# Wine's HID class stack): the memory write is tried 10 times, each attempt
# polling the ready flag 400 times, and the upgrade ends with "Excessive
# retries error." after at least that long; the instrument is then taken out
# of remote mode.
# Usage: usb_silent.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
source "$(dirname "$0")/lib.sh"
u_begin "$@"

u_install a:release=1,serial=VT-0001
u_start_instrument a --trace --usb-release 1 --version 1006 --seed 3 --fault no-reply@1x10/0
w_make_image 20000 1007

w_start_program
u_expect_found_window VT-0001
w_expect_version_prompt 1.006 1.007
w_send_keys y
wait_until "$W_TIMEOUT" has_line "$W_DIR/a.events" "request 0" || w_fail "no memory write was sent"
silent_from=$SECONDS
w_wait_text "Excessive retries error." 120
silent_for=$((SECONDS - silent_from))
# Over the progress window, which the first block never got to update.
w_expect_screen abort <<'SCREEN'
fill 1F
box 15 10 65 20 1F 0F double
text 16 11  Downloading: 
box 16 15 66 25 1F 0F double
text 17 16 Excessive retries error.
text 17 17  Download aborted.
text 17 18  Please press a key...
SCREEN
# 10 attempts of at least 400 polls 10 ms apart.
[ "$silent_for" -ge 40 ] || w_fail "the program gave up after ${silent_for} s, sooner than the retry rules allow"
[ "$(u_count a "request 0")" = 10 ] || w_fail "$(u_count a "request 0") memory writes, not 10"
w_send_keys x
w_wait_exit 4 15
wait_until 5 has_line "$W_DIR/a.events" "remote mode off" || w_fail "remote mode was not left"
w_log "silent for ${silent_for} s: 10 memory writes, then the abort message and remote mode off"
w_pass
