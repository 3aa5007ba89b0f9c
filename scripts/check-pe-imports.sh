#!/usr/bin/env bash
# Checks that each given executable is what a service PC with Windows 7 SP1 or
# later can run as it is copied: a console program of the build's width (the
# shipped one: 32-bit, i386 PE32) importing only calls on the list beside this
# script (windows-imports.txt), each from a DLL that Windows loads from its
# own folder and with a minimum Windows version no newer than Windows 7.  So
# no libstdc++, libgcc or libwinpthread DLL has to travel with it; no
# Universal CRT (ucrtbase.dll, api-ms-win-crt-*: absent from Windows 7 SP1
# without an update) is needed; and no hid.dll is imported (not a KnownDLL:
# the loader would take one put beside the program; the program loads it from
# the system folder at run time).  Each executable named after --resources
# must also carry the application manifest (asInvoker, so Windows never
# virtualizes its file writes; Windows 7 to 11 supported) and a version
# resource (product name, file version), with no time stamp and no build path.
# Usage: check-pe-imports.sh <objdump> i386|x86-64 <exe>... [--resources <exe>...]
set -uo pipefail

objdump="$1"
machine="$2"
shift 2
case "$machine" in
    i386) magic='010b[[:space:]]+\(PE32\)' ;;
    x86-64) magic='020b[[:space:]]+\(PE32\+\)' ;;
    *) echo "check-pe-imports.sh: no such width $machine" >&2; exit 2 ;;
esac
list="$(dirname "$0")/windows-imports.txt"
[ -f "$list" ] || { echo "check-pe-imports.sh: $list is missing" >&2; exit 2; }

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
    # One line per imported function: "dll name" (name "<ordinal>" when it
    # is imported by number only).
    imports=$(awk '
        /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
        /^[[:space:]]*$/ { dll = ""; next }
        dll != "" && /^\t[0-9a-f]+\t/ {
            n = split($0, f, /[ \t]+/)
            print dll, (n >= 4 && f[4] != "" && f[4] != "<none>" ? f[4] : "<ordinal>")
        }' <<<"$headers" | sort -u)
    dlls=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
    if [ -z "$dlls" ] || [ -z "$imports" ]; then
        fail "$exe: no import table found"
        continue
    fi
    grep -qx 'kernel32.dll' <<<"$dlls" || fail "$exe does not import kernel32.dll"
    while read -r dll; do
        case "$dll" in
            ucrtbase.dll | api-ms-win-crt-*)
                fail "$exe imports $dll: the Universal CRT, absent from Windows 7 SP1 without an update" ;;
            hid.dll)
                fail "$exe imports hid.dll, which is not a KnownDLL: a hid.dll beside the program would be loaded instead (load it from the system folder at run time)" ;;
        esac
    done <<<"$dlls"
    # Every function on the list, with a version no newer than Windows 7.
    verdicts=$(awk '
        function rank(v) {
            if (v ~ /^Windows 2000/) return 1
            if (v ~ /^Windows XP/) return 2
            if (v ~ /^Windows Vista/) return 3
            if (v ~ /^Windows 7/) return 4
            if (v ~ /^Windows (8|10|11)/) return 9
            return -1
        }
        FNR == NR {
            if ($0 ~ /^[[:space:]]*(#|$)/) next
            dll = tolower($1); name = $2
            version = $0; sub(/^[[:space:]]*[^[:space:]]+[[:space:]]+[^[:space:]]+[[:space:]]+/, "", version)
            listed[dll " " name] = version
            next
        }
        {
            key = $1 " " $2
            if (!(key in listed)) { print "unlisted", key; next }
            v = listed[key]
            if (v == "CRT" && $1 == "msvcrt.dll") next
            r = rank(v)
            if (r < 0) print "unknown", key, v
            else if (r > 4) print "newer", key, v
        }' "$list" - <<<"$imports")
    while read -r verdict dll name rest; do
        case "$verdict" in
            unlisted) fail "$exe imports $dll $name, which is not on $(basename "$list") (add it with the minimum client Microsoft's page gives)" ;;
            unknown) fail "$exe imports $dll $name, whose minimum client "$rest" is not a Windows version the check knows" ;;
            newer) fail "$exe imports $dll $name, which needs $rest: newer than Windows 7" ;;
        esac
    done < <(grep -v '^$' <<<"$verdicts")
    [ "$with_resources" = 1 ] && check_resources "$exe" "$headers"
    if [ "$exe_ok" = 1 ]; then
        echo "$(basename "$exe"): pei-$machine console program importing $(echo $dlls)" \
            "($(wc -l <<<"$imports") functions, all listed, none newer than Windows 7)" \
            "$([ "$with_resources" = 1 ] && echo "with its manifest and version $version")"
    fi
done
exit "$status"
