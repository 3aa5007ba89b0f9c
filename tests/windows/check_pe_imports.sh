#!/usr/bin/env bash
# Checks that each given executable is what a service PC can run as it is
# copied: a console program of the build's width (the shipped one: 32-bit, i386
# PE32) whose imports are all system DLLs, so that no libstdc++, libgcc or
# libwinpthread DLL has to travel with it.  Each executable named after
# --resources must also carry the application manifest (asInvoker, so Windows
# never virtualizes its file writes; Windows 7 to 11 supported) and a version
# resource (product name, file version), with no time stamp and no build path.
# Usage: check_pe_imports.sh <objdump> i386|x86-64 <exe>... [--resources <exe>...]
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

objcopy="${objdump%objdump}objcopy"
version=$(sed -n 's/^#define VTRL_VERSION_TEXT "\([^"]*\)".*/\1/p' \
    "$(dirname "$0")/../../driver/program_version.h")
status=0
exe_ok=1
with_resources=0
fail() {
    echo "FAIL: $1" >&2
    status=1
    exe_ok=0
}

# The resources of a PE image: the manifest as its text, the version strings
# as UTF-16 (read here with their zero bytes dropped).
check_resources() {
    local exe="$1" headers="$2" rsrc
    rsrc=$(mktemp)
    if ! "$objcopy" -O binary -j .rsrc "$exe" "$rsrc" || [ ! -s "$rsrc" ]; then
        fail "$exe has no resources"
        rm -f "$rsrc"
        return
    fi
    # Type 24 (manifest), ID 1: the one Windows reads when it starts the program.
    grep -A2 'Entry: ID: 0x000018,' <<<"$headers" | grep -q 'Entry: ID: 0x000001,' ||
        fail "$exe has no application manifest (RT_MANIFEST 1)"
    grep -q 'Entry: ID: 0x000010,' <<<"$headers" || fail "$exe has no version resource"
    grep -aq '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$rsrc" ||
        fail "$exe: its manifest does not ask to run as invoker"
    local os
    for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
        1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        grep -aq "<supportedOS Id=\"{$os}\"/>" "$rsrc" || fail "$exe: supportedOS $os missing"
    done
    local strings
    strings=$(tr -d '\000' <"$rsrc")
    grep -aq "FileVersion$version" <<<"$strings" || fail "$exe: FileVersion is not $version"
    grep -aq 'ProductNameVantrel Program Upgrade' <<<"$strings" || fail "$exe: no ProductName"
    # Nothing that changes from build to build.
    grep -E 'Time: [0-9a-f]{8}' <<<"$headers" | grep -vq 'Time: 00000000' &&
        fail "$exe: its resource directory carries a time stamp"
    grep -aqF "$(cd "$(dirname "$exe")" && pwd -P)" "$rsrc" &&
        fail "$exe: its resources name the build folder"
    rm -f "$rsrc"
}

for exe in "$@"; do
    if [ "$exe" = --resources ]; then
        with_resources=1
        continue
    fi
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
    [ "$with_resources" = 1 ] && check_resources "$exe" "$headers"
    if [ "$exe_ok" = 1 ]; then
        echo "$(basename "$exe"): pei-$machine console program importing $(echo $dlls)" \
            "$([ "$with_resources" = 1 ] && echo "with its manifest and version $version")"
    fi
done
exit "$status"
