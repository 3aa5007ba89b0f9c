#!/usr/bin/env bash
# Installs what is missing, builds the Linux and the Windows targets and runs
# every test (unit, integration, e2e; the Windows tests under Wine); then the
# unit and integration tests once more under AddressSanitizer and UBSan, each
# fuzz target for a short fixed time with a fixed seed, clang-tidy and
# cppcheck over the program's sources, and the release packages built twice
# (tests/release/reproducible.sh).  Works without a terminal and without
# stdin (CI runs it as root on a fresh Debian).
#
# Both Windows builds are compiled; the Windows tests run one of them: the
# i686 build (the product) under 32-bit Wine where this machine runs 32-bit
# programs, else the x86_64 build of the same sources under wine64.
# VTRL_WINDOWS_TESTS=i686 or x86_64 chooses instead of the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh

export DEBIAN_FRONTEND=noninteractive
# The end-to-end tests drive the programs in detached tmux sessions, which need
# no terminal of ours, but tmux wants to know what the outside terminal is.
if [ -z "${TERM:-}" ] || [ "$TERM" = dumb ]; then
    export TERM=xterm
fi
unset DISPLAY WAYLAND_DISPLAY
# The screens are compared as UTF-8 text (frame characters), whatever the caller's locale.
export LANG=C.UTF-8 LC_ALL=C.UTF-8

phase_start=$(date +%s)
phase() {
    local now
    now=$(date +%s)
    echo "=== $1 (after $((now - phase_start)) s)"
}

phase "installing what is missing"
scripts/install-deps.sh --windows --checks --release

phase "Linux build"
cmake --preset linux
cmake --build --preset linux

# The Windows build whose tests run, and why.
vtrl_choose_windows_build build
windows_preset=$VTRL_WINDOWS_PRESET
windows_summary="Windows tests: $VTRL_WINDOWS_SUMMARY"
echo "$windows_summary"
# The other width is compiled too, tests included (each width's tests run on
# the machines that run it), as the first of the checks.
if [ "$windows_preset" = windows ]; then
    other_preset=windows-x64
else
    other_preset=windows
fi

failed=()
# The checks below need the processor, the end-to-end tests mostly wait (on
# terminals, on Wine, on the stand-in's time-outs): the checks run meanwhile,
# at the lowest priority, so that the build and the tests keep their pace.
# They start as soon as the Linux build is there (static analysis reads its
# compile commands) and fill what the Windows build leaves idle.  Their report
# is printed when the tests are done.
checks_log=build/checks.log
run_checks() {
    local failed=()
    phase "the other Windows build ($other_preset, compiled with its tests)"
    { cmake --preset "$other_preset" && cmake --build --preset "$other_preset"; } ||
        failed+=("$other_preset-build")
    phase "static analysis (clang-tidy, cppcheck)"
    scripts/static-analysis.sh || failed+=(static-analysis)
    phase "sanitizer build (linux-asan)"
    { cmake --preset linux-asan && cmake --build --preset linux-asan; } || failed+=(linux-asan-build)
    phase "unit and integration tests under ASan and UBSan"
    ctest --preset linux-asan || failed+=(linux-asan)
    phase "fuzz targets, 20 s each (build included)"
    scripts/fuzz.sh 20 || failed+=(fuzz)
    phase "release packages built twice in two folders (the same bytes)"
    tests/release/reproducible.sh build/release-check || failed+=(reproducible-release)
    phase "checks done"
    echo "${failed[*]}" >build/checks.failed
}
rm -f build/checks.failed
nice -n 19 bash -c "$(declare -f phase run_checks); phase_start=$phase_start; \
    other_preset=$other_preset; run_checks" >"$checks_log" 2>&1 &
checks_pid=$!
wineprefix="$PWD/build/$windows_preset/wineprefix"
usb_prefix="$PWD/build/$windows_preset/wineprefix-usb"
stop_wine() {
    WINEPREFIX="$wineprefix" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$usb_prefix" wineserver -k >/dev/null 2>&1 || true
}
# A step of the main line that fails ends the run: the checks end with it.
# (They stay in this session: a session of their own would be a scheduling
# group of its own, which takes half the processor whatever its nice value.)
kill_tree() {
    local child
    for child in $(pgrep -P "$1"); do kill_tree "$child"; done
    kill "$1" 2>/dev/null || true
}
finish() {
    stop_wine
    kill_tree "$checks_pid"
}
trap finish EXIT

phase "Windows build ($VTRL_WINDOWS_BUILD, whose tests run here)"
cmake --preset "$windows_preset"
cmake --build --preset "$windows_preset"

phase "Linux tests"
ctest --preset linux -j 2 || failed+=(linux)

phase "Wine prefix"
scripts/wine-prefix.sh "$wineprefix"

phase "Wine prefix with a virtual instrument on its HID stack"
# A copy of the prefix above, with the test HID driver installed; the USB
# scenarios each put the instruments they need in it.
VTRL_WINE_TEMPLATE="$wineprefix" bash tests/wine-hid/fixture.sh "$usb_prefix" "build/$windows_preset" \
    release=2,pipe=vtrl-a,serial=VT-0001 || failed+=(wine-hid-fixture)
WINEPREFIX="$usb_prefix" wineserver -k >/dev/null 2>&1 || true

phase "Windows tests ($VTRL_WINDOWS_BUILD build)"
# Two at a time: the serial scenarios and the USB scenarios each hold their own
# prefix (a lock apiece), so one of each runs at once.
ctest --preset "$windows_preset" -j 2 || failed+=(windows)

phase "waiting for the checks"
wait "$checks_pid" || true
cat "$checks_log"
if [ ! -f build/checks.failed ]; then
    failed+=(checks-incomplete)
else
    read -ra checks_failed <build/checks.failed || true
    failed+=("${checks_failed[@]}")
fi

phase "done"
echo "$windows_summary"
if [ "${#failed[@]}" != 0 ]; then
    echo "test-all.sh: tests failed: ${failed[*]}" >&2
    exit 1
fi
