#!/usr/bin/env bash
# Where the program cannot show its windows it refuses before it touches any
# link: one line on standard error and exit status 6, for a terminal too small
# for the largest window, a terminal type that cannot place the cursor, an
# unknown or missing terminal type, and no terminal at all.  The simulated
# instrument waits on /dev/ttyUSB0 with its link cut at the first exchange,
# so that anything sent to it would show as "link cut".
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

e2e_start_sim --version 1006 --fault cut@1
e2e_bind_serial ttyUSB0

# expect_refusal WHAT TEXT: status 6 and one line on standard error holding TEXT.
expect_refusal() {
    local status lines
    status=$(cat "$E2E_DIR/status")
    [ "$status" = 6 ] || e2e_fail "$1: status $status, not 6"
    lines=$(wc -l <"$E2E_DIR/stderr")
    [ "$lines" = 1 ] && grep -qF -- "$2" "$E2E_DIR/stderr" ||
        e2e_fail "$1: standard error is not the one line \"...$2...\": $(cat "$E2E_DIR/stderr")"
    e2e_log "$1: $(cat "$E2E_DIR/stderr")"
}

# columns | rows | environment | what standard error must say
while IFS='|' read -r columns rows environment text; do
    [ -n "$columns" ] || continue
    E2E_COLUMNS=$columns E2E_ROWS=$rows E2E_ENV=$environment e2e_start_upgrade -C
    wait_until "$E2E_TIMEOUT" status_recorded "$E2E_DIR/status" || e2e_fail "vtrlupg did not end"
    expect_refusal "${columns}x${rows} ${environment:-TERM=$(e2e_tmux show-options -gv default-terminal)}" "$text"
done <<'TABLE'
60|20||the terminal is 60 columns by 20 rows
80|10||the terminal is 80 columns by 10 rows
80|40|env TERM=dumb|TERM=dumb cannot place the cursor
80|40|env TERM=vt-nonesuch|TERM=vt-nonesuch is unknown
80|40|env -u TERM|TERM is not set
TABLE

# No terminal: a session of its own, no standard output to draw on.
(cd "$E2E_PROGRAM_DIR" && setsid --wait ./vtrlupg -C </dev/null >/dev/null 2>"$E2E_DIR/stderr"
 echo $? >"$E2E_DIR/status")
expect_refusal "no terminal" "no terminal to show the program on"

sleep 0.5
[ -s "$E2E_DIR/events.log" ] && e2e_fail "the instrument was reached: $(cat "$E2E_DIR/events.log")"
e2e_log "nothing reached the instrument"
e2e_pass
