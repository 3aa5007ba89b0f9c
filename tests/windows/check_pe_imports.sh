#!/usr/bin/env bash
# Checks that each given executable is what a service PC can run as it is
# copied: a console program of the build's width (the shipped one: 32-bit, i386
# PE32) whose imports are all system DLLs, so that no libstdc++, libgcc or
# libwinpthread DLL has to travel with it.
# Usage: check_pe_imports.sh <objdump> i386|x86-64 <exe>...
set -uo pipefail

objdump="$1"
machine="$2"
shift 2
case "$machine" in
    i386) magic='010b[[:space:]]+\(PE32\)' ;;
    x86-64) magic='020b[[:space:]]+\(PE32\+\)' ;;
    *) echo "check_pe_imports.sh: no such width $machine" >&2; exit 2 ;;
esac
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
    grep -q "file format pei-$machine\$" <<<"$headers" || fail "$exe is not a pei-$machine image"
    grep -Eq "^Magic[[:space:]]+$magic" <<<"$headers" ||
        fail "$exe has not the optional header of a pei-$machine image"
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
        echo "$(basename "$exe"): pei-$machine console program importing $(echo $dlls)"
    fi
done
exit "$status"
