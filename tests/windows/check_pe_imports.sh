#!/usr/bin/env bash
# Checks that each given executable is what a service PC can run as it is
# copied: a 32-bit (i386) PE32 console program whose imports are all system
# DLLs, so that no libstdc++, libgcc or libwinpthread DLL has to travel with it.
# Usage: check_pe_imports.sh <objdump> <exe>...
set -uo pipefail

objdump="$1"
shift
# System DLLs of every Windows since XP (and the UCRT's API sets).
allowed='^(kernel32|user32|gdi32|advapi32|setupapi|hid|cfgmgr32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+|ntdll|shell32|ole32|oleaut32|ws2_32|winmm|version|comdlg32|shlwapi|bcrypt|rpcrt4)\.dll$'

status=0
exe_ok=1
fail() {
    echo "FAIL: $1" >&2
    status=1
    exe_ok=0
}

for exe in "$@"; do
    exe_ok=1
    if [ ! -f "$exe" ]; then
        fail "$exe does not exist"
        continue
    fi
    if ! headers=$("$objdump" -p "$exe" 2>&1); then
        fail "$exe: objdump cannot read it: $headers"
        continue
    fi
    grep -q 'file format pei-i386' <<<"$headers" || fail "$exe is not a pei-i386 image"
    grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$headers" ||
        fail "$exe is not PE32 (a PE32+ or other optional header)"
    grep -Eq '^Subsystem[[:space:]]+00000003[[:space:]]+\(Windows CUI\)' <<<"$headers" ||
        fail "$exe is not a console (CUI) program"
    dlls=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
    if [ -z "$dlls" ]; then
        fail "$exe: no import table found"
        continue
    fi
    grep -qx 'kernel32.dll' <<<"$dlls" || fail "$exe does not import kernel32.dll"
    while read -r dll; do
        if ! grep -Eq "$allowed" <<<"$dll"; then
            fail "$exe imports $dll, which is not a system DLL"
        fi
    done <<<"$dlls"
    if [ "$exe_ok" = 1 ]; then
        echo "$(basename "$exe"): PE32 i386 console program importing $(echo $dlls)"
    fi
done
exit "$status"
