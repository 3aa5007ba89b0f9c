#!/usr/bin/env bash
# Measures the upgrade as a technician meets it, with the largest image the
# instrument takes (326652 bytes, the calibration branch), the version prompt
# answered at once:
# - serial: the real Linux vtrlupg against vtrlsim on a pseudo-terminal paced
#   at 57600 baud (COM1 in a private mount namespace); prints the program's
#   wall time from start to exit, its peak resident memory, and the time the
#   bytes alone need on the wire.  Needs root (unshare -m, mount).
# - USB: vtrlupg.exe under Wine against a virtual instrument on Wine's HID
#   class stack (tests/wine-hid) whose stand-in carries the reports at
#   full-speed USB pace; prints the wall time, the time the reports alone need
#   at that pace (the floor) and their ratio; then the same with the stand-in
#   answering at once, which is what the program and Wine's stack cost.
# - the serial search: the Linux vtrlupg -C where nothing answers, with no
#   serial port and with COM1 to COM3 present and silent (each waits its full
#   reply time); from start to exit.
#   The Windows build timed is the one the tests run here (scripts/test-all.sh:
#   the i686 build under 32-bit Wine, or the x86_64 build under wine64 where
#   this machine runs no 32-bit programs; VTRL_WINDOWS_TESTS chooses).
# The scenarios are end-to-end scenarios of their own, beside those they share
# their helpers with (tests/e2e-linux/bench_*.sh, tests/wine-hid/bench_*.sh);
# this script builds what they run and starts them.
# Usage: scripts/bench.sh [IMAGE_SIZE]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-326652}
source scripts/wine-env.sh

scripts/install-deps.sh --bench --windows
cmake --preset linux >/dev/null
cmake --build --preset linux --target vtrlupg vtrlsim vtrl-sample-image
vtrl_choose_windows_build build
windows=build/$VTRL_WINDOWS_PRESET
cmake --preset "$VTRL_WINDOWS_PRESET" >/dev/null
cmake --build --preset "$VTRL_WINDOWS_PRESET" --target vtrlupg vtrlsim-hid vtrlhid vtrlhid-install
build=build/linux
status=0
echo "=== serial"
env BENCH_IMAGE_SIZE="$size" E2E_TIMEOUT=600 \
    bash tests/e2e-linux/bench_serial_upgrade.sh "$build/driver/vtrlupg" "$build/sim/vtrlsim" || status=1
echo "=== serial search, nothing answering"
env E2E_TIMEOUT=120 \
    bash tests/e2e-linux/bench_serial_search.sh "$build/driver/vtrlupg" "$build/sim/vtrlsim" ||
    status=1
echo "=== USB: $VTRL_WINDOWS_SUMMARY"
# The USB scenarios' prefix, made (once) as a copy of the Windows tests' one when there is one.
if [ -f "$windows/wineprefix/system.reg" ]; then
    export VTRL_WINE_TEMPLATE="$PWD/$windows/wineprefix"
fi
for pace in full none; do
    env BENCH_IMAGE_SIZE="$size" BENCH_PACE=$pace LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM="${TERM:-xterm}" \
        bash tests/wine-hid/bench_usb_upgrade.sh "$windows/driver/vtrlupg.exe" "$build/sim/vtrlsim" \
        "$windows/wineprefix-usb" "$windows" || status=1
done
exit "$status"
