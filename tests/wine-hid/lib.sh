# Helpers for vtrlupg.exe's USB scenarios under Wine: virtual instruments on
# Wine's HID class stack (the test minidriver vtrlhid.sys, put in place by
# fixture.sh), each answered by a vtrlsim-hid.exe of its own; the program in
# an 80x40 tmux pane, as the other Wine scenarios run it (tests/windows/lib.sh).
#
#   source "$(dirname "$0")/lib.sh"
#   u_begin "$@"                           # VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
#   u_install a:release=2,serial=VT-0001   # instrument "a" on pipe vtrl-a
#   u_start_instrument a --version 1006    # vtrlsim-hid options
#   e2e_make_image 20000 1007
#   w_start_program
#   ...                                    # e2e_* helpers of tests/common/e2e.sh
#
# Instrument NAME keeps its flash in $E2E_DIR/NAME.flash and its event log
# (with --trace: what the host asked of the class driver, every request) in
# $E2E_DIR/NAME.events.

source "$(dirname "${BASH_SOURCE[0]}")/../windows/lib.sh"

U_SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The shared dump, then each instrument's output and log.
eval "$(declare -f e2e_dump | sed '1s/^e2e_dump/u_dump_program/')"
e2e_dump() {
    u_dump_program
    local f
    for f in "${E2E_DIR:-/nonexistent}"/*.sim.out "${E2E_DIR:-/nonexistent}"/*.sim.err \
        "${E2E_DIR:-/nonexistent}"/*.events "${E2E_DIR:-/nonexistent}"/instruments.txt; do
        [ -s "$f" ] && { echo "----- $(basename "$f") -----"; tail -n 40 "$f"; }
    done
}

# u_begin VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
u_begin() {
    [ $# -ge 4 ] || { echo "usage: $0 VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR" >&2; exit 2; }
    U_BUILD=$(realpath "$4")
    U_SIM_HID="$U_BUILD/sim/vtrlsim-hid.exe"
    [ -f "$U_SIM_HID" ] || e2e_fail "no vtrlsim-hid.exe at $U_SIM_HID"
    w_begin "$1" "$2" "$3"
}

# u_install NAME:SETTINGS...: exactly these instruments, NAME's on pipe
# vtrl-NAME (SETTINGS as fixture.sh takes them, without the pipe); their
# enumeration order lands in $E2E_DIR/instruments.txt.
u_install() {
    local entry entries=()
    for entry in "$@"; do
        entries+=("${entry#*:},pipe=vtrl-${entry%%:*}")
    done
    bash "$U_SCRIPT_DIR/fixture.sh" "$WINEPREFIX" "$U_BUILD" "${entries[@]}" \
        >"$E2E_DIR/instruments.raw" 2>>"$E2E_DIR/wine.log" 8>&- ||
        e2e_fail "the fixture did not bring up ${entries[*]}"
    # A Windows program's standard output ends its lines in CR LF.
    tr -d '\r' <"$E2E_DIR/instruments.raw" >"$E2E_DIR/instruments.txt"
    e2e_log "instruments up: $(tr '\n' ';' <"$E2E_DIR/instruments.txt")"
}

# u_start_instrument NAME [--full-speed] [vtrlsim-hid options]: starts NAME's
# stand-in (answering at once; at full-speed USB pace with --full-speed) and
# waits until the driver has connected to it.
u_start_instrument() {
    local name=$1
    shift
    local pace=(--unpaced)
    if [ "${1:-}" = --full-speed ]; then
        pace=()
        shift
    fi
    : >"$E2E_DIR/$name.events"
    wine "$U_SIM_HID" "${pace[@]}" --pipe "vtrl-$name" --events "Z:$E2E_DIR/$name.events" "$@" \
        "Z:$E2E_DIR/$name.flash" >"$E2E_DIR/$name.sim.out" 2>"$E2E_DIR/$name.sim.err" </dev/null 8>&- &
    wait_until "$E2E_TIMEOUT" has_line "$E2E_DIR/$name.sim.out" connected ||
        e2e_fail "the driver never connected to instrument $name's stand-in"
    e2e_log "instrument $name: stand-in connected ($*)"
}

# u_flash NAME OFFSET LENGTH: hex of NAME's flash from OFFSET (address - 0x80000).
u_flash() { e2e_flash_bytes "$2" "$3" "$E2E_DIR/$1.flash"; }

# u_lines NAME PATTERN: the lines of NAME's event log matching the extended regex.
u_lines() { grep -E -- "$2" "$E2E_DIR/$1.events" || true; }

# u_expect_found_window SERIAL [STRINGS...]: the USB found window, cell by cell,
# version 1.006 and the four labelled strings (default: the device strings the
# fixture sets, with SERIAL).
u_expect_found_window() {
    local serial=$1 manufacturer=${2:-Vantrel} product=${3:-Vantrel Thermal Cycler}
    e2e_wait_text "Serial Number = "
    e2e_expect_screen usb-found <<SCREEN
fill 1F
box 7 15 74 24 1F 0F double
text 8 16 Found Vantrel on USB 
text 8 17 Firmware Version 1.006
text 8 18 Language = <English>
text 8 19 Maufacturer = $manufacturer
text 8 20 Product = $product
text 8 21 Serial Number = $serial
SCREEN
}

# u_request_after NAME COMMAND K: (with --trace) the command number of the
# request NAME took after the K-th request of COMMAND ("" when none came).
u_request_after() {
    awk -v c="request $2" -v k="$3" '
        /^request / { if (seen == k) { print $2; exit } if ($0 == c) seen++ }
    ' "$E2E_DIR/$1.events"
}

# u_count NAME LINE: how many times NAME's event log holds LINE.
u_count() { grep -cxF -- "$2" "$E2E_DIR/$1.events" || true; }

# u_start_upgrade [SERIAL [STRINGS...]]: the program started, its found window
# (as u_expect_found_window; serial number VT-0001 when none is given), and
# the version prompt from 1.006 to 1.007 answered y.
u_start_upgrade() {
    w_start_program
    u_expect_found_window "${@:-VT-0001}"
    e2e_expect_version_prompt 1.006 1.007
    e2e_send_keys y
}

# u_finish_upgrade NAME RECORD: after y at the version prompt, the whole
# upgrade to its closing message and exit status 0, no caldata.bin left; then
# NAME's flash holds the image from 0x80004, valid markers and the calibration
# RECORD (hex) it had before, and the restart was sent once.
u_finish_upgrade() {
    e2e_expect_complete 120
    e2e_expect_upgraded "$E2E_DIR/$1.flash" "$2"
    [ "$(u_lines "$1" '^restart ')" = "restart 0xFFFF0" ] || e2e_fail "the restart was not sent once"
}

# u_calibration_record NAME: hex of NAME's calibration record as it is now.
u_calibration_record() { u_flash "$1" "$E2E_CALIBRATION_OFFSET" 1024; }
