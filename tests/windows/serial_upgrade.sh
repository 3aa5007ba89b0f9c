#!/usr/bin/env bash
# A whole upgrade by vtrlupg.exe under Wine over COM1, which Wine maps to the
# pseudo-terminal that vtrlsim serves: the found window, the version prompt,
# y, the progress window counting down on through a Ctrl+C, the closing
# message (the program ran in the pane it was started in, as Wine's console
# takes the size asked, and was not started again elsewhere), and afterwards
# the instrument's flash holding the image, valid marker words and the
# calibration record it had before.
# Usage: serial_upgrade.sh VTRLUPG_EXE VTRLSIM WINEPREFIX IMAGE_SIZE [VTRLSIM_OPTION...]
#   IMAGE_SIZE up to 262140 takes the normal branch; above it the calibration
#   branch, which saves the record to caldata.bin and puts it back.
source "$(dirname "$0")/lib.sh"
size="${4:?image size}"
sim_options=("${@:5}")
w_begin "$1" "$2" "$3"

e2e_start_sim --version 1006 --seed 3 "${sim_options[@]}"
w_map_com1
e2e_make_image "$size" 1007
record_before=$(e2e_flash_bytes "$E2E_CALIBRATION_OFFSET" 1024)
[ ${#record_before} = 2048 ] || e2e_fail "vtrlsim's flash file has no calibration record"

w_start_program -C
e2e_wait_text " Found Vantrel Version 1.006 on COM1"
e2e_expect_screen found <<'SCREEN'
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  Found Vantrel Version 1.006 on COM1
SCREEN

e2e_expect_version_prompt 1.006 1.007
e2e_wait_event "remote mode on" 1
e2e_send_keys y

e2e_expect_progress_window
if [ "$size" -gt 262140 ]; then
    # While flash is being changed the record's only safe copy is caldata.bin,
    # beside the program (not in the directory the program was started from).
    [ -f "$E2E_PROGRAM_DIR/caldata.bin" ] || e2e_fail "no caldata.bin beside the program during the download"
    [ "$(e2e_flash_bytes 0 1024 "$E2E_PROGRAM_DIR/caldata.bin")" = "$record_before" ] ||
        e2e_fail "caldata.bin does not hold the instrument's calibration record"
    e2e_log "caldata.bin beside the program holds the calibration record"
fi
blocks=$((size / 498))
first=
deadline=$((SECONDS + E2E_TIMEOUT + blocks / 5))
while [ $SECONDS -lt $deadline ]; do
    line=$(e2e_screen | sed -n 12p)
    if [[ $line =~ Remaining\ blocks:\ ([0-9]+)\ \ Retries:\ ([0-9]+) ]]; then
        count=${BASH_REMATCH[1]}
        [ "$count" -lt "$blocks" ] || e2e_fail "the counter shows $count of $blocks blocks"
        if [ -z "$first" ]; then
            first=$count
            # Ctrl+C once the instrument is in remote mode: the download goes on.
            e2e_send_keys C-c
        elif [ "$count" -lt "$first" ]; then
            e2e_log "progress line counts down: $first, then $count"
            break
        elif [ "$count" -gt "$first" ]; then
            e2e_fail "the counter went up from $first to $count"
        fi
    elif grep -qF "Upgrade complete" <<<"$(e2e_screen)"; then
        break
    fi
    sleep 0.05
done
[ -n "$first" ] || e2e_fail "no block counter was seen"

e2e_expect_complete $((E2E_TIMEOUT + blocks / 5))
e2e_wait_event "restart 0xFFFF0" 5
if [ "$size" -gt 262140 ]; then
    grep -q "^erase sector 0" "$E2E_DIR/events.log" || e2e_fail "the calibration sector was not erased"
fi
[ -e "$E2E_DIR/cwd/caldata.bin" ] && e2e_fail "caldata.bin was written to the working directory"
e2e_stop_sim
e2e_expect_upgraded "$E2E_DIR/flash.bin" "$record_before"
e2e_pass
