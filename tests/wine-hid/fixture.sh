#!/usr/bin/env bash
# Puts virtual Vantrel instruments on Wine's HID class stack in a Wine prefix:
# makes the prefix if it is missing (a copy of VTRL_WINE_TEMPLATE when that
# names a finished prefix, as scripts/wine-prefix.sh does, otherwise a fresh
# one), installs the test minidriver vtrlhid.sys with the instruments asked
# for and waits until their HID interfaces are up.  The prefix's wineserver is
# left running.
#
# Usage: fixture.sh WINEPREFIX WINDOWS_BUILD_DIR [INSTRUMENT...]
#   INSTRUMENT  release=R,pipe=NAME[,serial=S][,manufacturer=M][,product=P][,extras=0|1]
#               (see vtrlhid_install.cpp; no INSTRUMENT removes them all)
# Prints one line per HID interface, in the order the system enumerates them:
# "N instrument release R serial S" or "N other VVVV:PPPP" (Wine's own devices).
set -euo pipefail

prefix=$(realpath -m "${1:?Wine prefix}")
build=$(realpath "${2:?Windows build directory}")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-env.sh"
vtrl_wine_env
export WINEPREFIX="$prefix" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

driver="$build/tests/wine-hid/vtrlhid.sys"
inf="$build/tests/wine-hid/vtrlhid.inf"
installer="$build/tests/wine-hid/vtrlhid-install.exe"
for f in "$driver" "$inf" "$installer"; do
    [ -f "$f" ] || { echo "fixture.sh: $f is missing: build the windows preset" >&2; exit 1; }
done

"$here/../../scripts/wine-prefix.sh" "$prefix" >/dev/null
# A prefix that runs an older build of the driver gets the new one: the
# driver is loaded once per Wine session, so Wine is restarted around the copy.
installed="$prefix/drive_c/windows/system32/drivers/vtrlhid.sys"
if [ -f "$installed" ] && ! cmp -s "$driver" "$installed"; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    cp "$driver" "$installed"
    "$here/../../scripts/wine-prefix.sh" "$prefix" >/dev/null
fi
wine "$installer" "$inf" "$@" </dev/null
