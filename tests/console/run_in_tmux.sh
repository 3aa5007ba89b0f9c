#!/usr/bin/env bash
# Runs a command on a terminal of its own (a detached tmux pane) and passes
# on its output and exit status: Wine gives a console program a working
# console only when it runs on a terminal.
# Usage: run_in_tmux.sh <command> [arguments...]
set -euo pipefail

socket="vtrl-console-tty-$$"
log=$(mktemp)
status_file=$(mktemp)
tmx() { tmux -L "$socket" -f /dev/null "$@"; }
trap 'tmx kill-server 2>/dev/null || true; rm -f "$log" "$status_file"' EXIT

command=$(printf '%q ' "$@")
tmx new-session -d -x 100 -y 45 \
    "export VTRL_REQUIRE_CONSOLE=1 WINEDEBUG=-all; $command >'$log' 2>&1; echo \$? >'$status_file'"
for _ in $(seq 1 1200); do
    [ -s "$status_file" ] && break
    sleep 0.1
done
cat "$log"
[ -s "$status_file" ] || { echo "run_in_tmux: no end within 120 s" >&2; exit 1; }
exit "$(cat "$status_file")"
