#!/usr/bin/env bash
# vtrlupg.exe with no option finds the instrument on USB through Wine's HID
# class stack, with Wine's own HID devices (its mouse and keyboard) and two
# virtual instruments present: the 68 by 10 found window shows the version
# and the device strings of the instrument enumerated last, which is the one
# the program talks to from then on; at discovery each instrument's input
# buffer count was lowered (1 refused by the class driver, then 2 taken);
# declining at the version prompt takes the instrument out of remote mode.
# An empty hid.dll lies beside the program and in its current folder
# ("binary planting"): the program takes the system's by its full path all
# the same.  Then the same scan in process (hid_stack_test.exe): only the
# instrument enumerated last is left open, Wine's devices and the other one
# closed.
# Usage: usb_found.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
source "$(dirname "$0")/lib.sh"
u_begin "$@"
for planted in "$E2E_PROGRAM_DIR" "$E2E_DIR/cwd"; do
    cp "$U_BUILD/tests/usb/hid.dll" "$planted/hid.dll" || e2e_fail "no planted hid.dll in the build"
done

u_install a:release=2,serial=VT-0001 b:release=2,serial=VT-0002
grep -q " other 845e:" "$E2E_DIR/instruments.txt" ||
    e2e_fail "the prefix shows none of Wine's own HID devices to skip"
last=$(sed -n 's/^[0-9]* instrument release [0-9]* serial //p' "$E2E_DIR/instruments.txt" | tail -n 1)
case "$last" in
    VT-0001) held=a other=b ;;
    VT-0002) held=b other=a ;;
    *) e2e_fail "the fixture lists no instrument last" ;;
esac
u_start_instrument a --trace --version 1006
u_start_instrument b --trace --version 1006

e2e_make_image 20000 1007
w_start_program
u_expect_found_window "$last"
e2e_expect_version_prompt 1.006 1.007
e2e_send_keys n
e2e_wait_exit 4 15

# Discovery opened both, lowered the count on each and kept the last one.
for name in a b; do
    counts=$(u_lines "$name" '^input buffers ' | tr '\n' ';')
    [ "$counts" = "input buffers 1 refused;input buffers 2 set;" ] ||
        e2e_fail "instrument $name's input buffer count was set as \"$counts\", not 1 then 2"
done
e2e_log "each instrument's input buffer count: 1 refused, then 2 set"
[ "$(u_lines "$held" '^indexed string ' | tr '\n' ';')" = \
    "indexed string 1;indexed string 2;indexed string 3;indexed string 4;indexed string 5;" ] ||
    e2e_fail "instrument $held was not asked for strings 1 to 5"
[ -z "$(u_lines "$other" '^(indexed string|request) ')" ] ||
    e2e_fail "instrument $other, enumerated first, was used after the scan"
[ "$(u_lines "$held" '^remote mode ' | tr '\n' ';')" = "remote mode on;remote mode off;" ] ||
    e2e_fail "instrument $held did not go into remote mode and out of it again"
e2e_log "instrument $held (enumerated last) held, $other left alone"

VTRL_LAST_SERIAL=$last wine "$U_BUILD/tests/wine-hid/hid_stack_test.exe" </dev/null \
    >"$E2E_DIR/hid_stack_test.log" 2>&1 8>&- ||
    { cat "$E2E_DIR/hid_stack_test.log"; e2e_fail "the scan in process left the wrong handles open"; }
e2e_log "in process: after a scan only the last instrument's handle is open, its input buffer count 2"
e2e_pass
