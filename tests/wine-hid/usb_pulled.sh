#!/usr/bin/env bash
# The USB cable pulled out during the download (release 2, through Wine's HID
# class stack): once the 40th memory write has gone out, the instrument's
# device is removed.  The upgrade ends with "Excessive retries error.", the
# program exits with status 7 (the instrument changed, another run needed),
# and the time from the removal to the message is logged.
# Usage: usb_pulled.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
source "$(dirname "$0")/lib.sh"
u_begin "$@"

u_install a:release=2,serial=VT-0001
u_start_instrument a --full-speed --trace --version 1006
e2e_make_image 100000 1007

u_start_upgrade
requests_at_least() { [ "$(u_count a "request 0")" -ge "$1" ]; }
wait_until "$E2E_TIMEOUT" requests_at_least 40 || e2e_fail "the download did not get to its 40th memory write"
# Every instrument removed: the device goes as when its cable is pulled.
bash "$U_SCRIPT_DIR/fixture.sh" "$WINEPREFIX" "$U_BUILD" >/dev/null 2>>"$E2E_DIR/wine.log" 8>&- ||
    e2e_fail "the instrument's device could not be removed"
removed=$(date +%s%N)
e2e_log "device removed after $(u_count a "request 0") memory writes"
e2e_wait_text "Excessive retries error." 240
shown=$(date +%s%N)
e2e_log "removal to the message: $(((shown - removed) / 1000000)) ms"
e2e_send_keys x
e2e_wait_exit 7 120
e2e_pass
