#!/usr/bin/env bash
# The USB scenario scripts/bench.sh times (see there): vtrlupg.exe under Wine
# upgrading a virtual instrument on Wine's HID class stack (release 2, the
# response in the input report) whose stand-in carries every report at
# full-speed USB pace (BENCH_PACE=none: at once, which leaves the cost of the
# program and of Wine's stack alone).  Runs through the USB scenarios' helpers.
# Usage: bench_usb_upgrade.sh VTRLUPG_EXE VTRLSIM WINEPREFIX WINDOWS_BUILD_DIR
source "$(dirname "$0")/lib.sh"
u_begin "$@"

size=${BENCH_IMAGE_SIZE:-326652}
u_install a:release=2,serial=VT-0001
pace=(--full-speed)
[ "${BENCH_PACE:-full}" = none ] && pace=()
u_start_instrument a "${pace[@]}" --usb-release 2 --version 1006 --stats "Z:$E2E_DIR/a.stats"
e2e_make_image "$size" 1007
# vtrlupg.exe under GNU time (the Wine process that runs it is the program).
W_RUNNER=(/usr/bin/time -f %e -o "$E2E_DIR/time.txt" "$VTRL_WINE")

w_start_program
e2e_wait_text " Proceed with download? y/n :"
e2e_send_keys y
e2e_wait_text " Upgrade complete -- Restarting instrument!" 600
e2e_wait_exit 0 15
cmp -s -n "$size" -i 4:0 "$E2E_DIR/a.flash" "$E2E_IMAGE" || e2e_fail "the flash does not hold the image"
# The stand-in writes its counts once the pipe has been quiet for 200 ms.
sleep 0.5

seconds=$(tail -n 1 "$E2E_DIR/time.txt")
read_count() { sed -n "s/^$1 //p" "$E2E_DIR/a.stats"; }
outputs=$(read_count "output reports")
inputs=$(read_count "input reports")
floor_ms=$(read_count "paced transfer ms")
blocks=$(((size + 497) / 498))
if [ "${BENCH_PACE:-full}" = none ]; then
    echo "vtrlupg.exe, the stand-in answering at once: $seconds s from start to exit"
    e2e_pass
fi
echo "image $size bytes in $blocks blocks over USB (Wine's HID class stack, release 2)"
echo "vtrlupg.exe: $seconds s from start to exit (incl. 1.5 s found window, 5 s final message)"
echo "reports: $outputs output, $inputs input; at full-speed pace (64 bytes a 1 ms frame," \
    "5 ms a report) they need $(awk -v m="$floor_ms" 'BEGIN { printf "%.1f", m / 1000 }') s"
awk -v t="$seconds" -v m="$floor_ms" 'BEGIN {
    printf "time / floor: %.2f (%.2f leaving out the 6.5 s of fixed pauses)\n",
           t / (m / 1000), (t - 6.5) / (m / 1000) }'
e2e_pass
