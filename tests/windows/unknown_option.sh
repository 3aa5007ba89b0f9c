#!/usr/bin/env bash
# An option other than -C is refused before any link is touched: a plain word
# before it is ignored, the refused option is shown with "-" in place of its
# first character, one key closes the message and the program ends with
# status 1.  Runs vtrlupg.exe under Wine, or the Linux vtrlupg.
source "$(dirname "$0")/lib.sh"
w_begin "$@"

w_start_program image /xyz -C
e2e_wait_text "Unknown argument -xyz."
e2e_expect_screen refused <<'SCREEN'
fill 1F
box 16 15 66 25 1F 0F double
text 17 16 Unknown argument -xyz.
text 17 17  Please press a key...
SCREEN
e2e_send_keys q
e2e_wait_exit 1 10
e2e_pass
