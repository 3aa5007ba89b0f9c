#!/usr/bin/env bash
# With -C and no USB instrument, vtrlupg finds the simulated instrument on COM1,
# shows its version, puts it into remote mode and, finding no image beside
# itself, reports that, takes the instrument out of remote mode and ends.
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

e2e_start_sim --version 1006
e2e_bind_serial ttyS0
e2e_start_upgrade -C

e2e_wait_text "Found Vantrel Version 1.006 on COM1"
e2e_wait_event "remote mode on"
e2e_wait_text "Cannot open program file"
e2e_send_keys Enter
e2e_wait_event "remote mode off"
e2e_wait_exit 4
e2e_pass
