#!/usr/bin/env bash
# The serial search under Wine's comm API: COM1 is a pseudo-terminal whose
# instrument never answers (its link is cut), so the version query there must
# time out and COM1 be closed again; COM2 is vtrlsim, found and reported as
# COM2.  Declining the version prompt then ends the program with status 4 and
# the instrument out of remote mode, its flash untouched.
source "$(dirname "$0")/lib.sh"
w_begin "$@"

e2e_start_sim --version 1006
"$E2E_VTRLSIM" --fault cut@1 "$E2E_DIR/dead-flash.bin" >"$E2E_DIR/dead.out" 2>"$E2E_DIR/dead.err" </dev/null &
dead_pid=$!
deadline=$((SECONDS + E2E_TIMEOUT))
until [ -s "$E2E_DIR/dead.out" ]; do
    kill -0 "$dead_pid" 2>/dev/null || e2e_fail "the silent vtrlsim ended at start"
    [ $SECONDS -lt $deadline ] || e2e_fail "the silent vtrlsim printed no pseudo-terminal"
    sleep 0.1
done
dead_pty=$(head -n 1 "$E2E_DIR/dead.out")
trap 'kill -TERM "$dead_pid" 2>/dev/null; w_cleanup' EXIT
w_map_ports "COM1=$dead_pty" "COM2=$E2E_PTY"
e2e_make_image 20000 1007
flash_before=$(md5sum <"$E2E_DIR/flash.bin")

w_start_program -C
e2e_wait_text " Found Vantrel Version 1.006 on COM2" 30
e2e_expect_screen found <<'SCREEN'
fill 1F
box 16 15 66 25 1F 0F double
text 17 16  Found Vantrel Version 1.006 on COM2
SCREEN
e2e_wait_text " Proceed with download? y/n :"
e2e_send_keys n
e2e_wait_exit 4 10
e2e_wait_event "remote mode off" 5
e2e_stop_sim
[ "$(md5sum <"$E2E_DIR/flash.bin")" = "$flash_before" ] || e2e_fail "flash changed though the operator declined"
e2e_pass
