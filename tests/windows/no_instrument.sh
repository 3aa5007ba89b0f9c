#!/usr/bin/env bash
# vtrlupg.exe under Wine (or the Linux vtrlupg) with no instrument and no -C:
# Wine's SetupAPI (hidapi on Linux) lists no Vantrel, so the real HID discovery
# finds none; the operator sees the USB message, then the no-instrument message
# for a second, and the program ends with status 2.
# Also the console itself: title, 80 by 40 cells, bright white on blue, and the
# message windows' frames where the program puts them.
source "$(dirname "$0")/lib.sh"
w_begin "$@"

w_start_program
e2e_wait_text " No Vantrel detected on USB."
w_expect_title "WIN32 Vantrel Program Upgrade Version 1.006"
size=$(e2e_tmux display-message -p -t e2e '#{pane_width}x#{pane_height}')
[ "$size" = 80x40 ] || e2e_fail "the pane is $size, not 80x40"
e2e_expect_screen no-usb <<'SCREEN'
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  No Vantrel detected on USB.
text 17 18  Press a key
SCREEN

e2e_send_keys x
e2e_wait_text " No instrument connected!" 5
e2e_expect_screen no-instrument <<'SCREEN'
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  No instrument connected!
text 17 17  Aborting --
SCREEN
e2e_wait_exit 2 10
e2e_pass
