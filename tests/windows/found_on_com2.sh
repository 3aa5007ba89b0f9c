#!/usr/bin/env bash
# The serial search under Wine's comm API: COM1 is a pseudo-terminal whose
# instrument never answers (its link is cut), so the version query there must
# time out and COM1 be closed again; COM2 is vtrlsim, found and reported as
# COM2.  Declining the version prompt then ends the program with status 4 and
# the instrument out of remote mode, its flash untouched.
source "$(dirname "$0")/lib.sh"
w_begin "$@"

w_start_sim --version 1006
"$W_VTRLSIM" --fault cut@1 "$W_DIR/dead-flash.bin" >"$W_DIR/dead.out" 2>"$W_DIR/dead.err" </dev/null &
dead_pid=$!
deadline=$((SECONDS + W_TIMEOUT))
until [ -s "$W_DIR/dead.out" ]; do
    kill -0 "$dead_pid" 2>/dev/null || w_fail "the silent vtrlsim ended at start"
    [ $SECONDS -lt $deadline ] || w_fail "the silent vtrlsim printed no pseudo-terminal"
    sleep 0.1
done
dead_pty=$(head -n 1 "$W_DIR/dead.out")
trap 'kill -TERM "$dead_pid" 2>/dev/null; w_cleanup' EXIT
w_map_ports "COM1=$dead_pty" "COM2=$W_PTY"
w_make_image 20000 1007
flash_before=$(md5sum <"$W_DIR/flash.bin")

w_start_program -C
w_wait_text " Found Vantrel Version 1.006 on COM2" 30
w_expect_screen found <<'SCREEN'
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  Found Vantrel Version 1.006 on COM2
SCREEN
w_wait_text " Proceed with download? y/n :"
w_send_keys n
w_wait_exit 4 10
w_wait_event "remote mode off" 5
w_stop_sim
[ "$(md5sum <"$W_DIR/flash.bin")" = "$flash_before" ] || w_fail "flash changed though the operator declined"
w_pass
