#!/usr/bin/env bash
# Runs the console demo in a detached 80 by 40 tmux pane and checks what the
# terminal shows: the 51 by 11 message box at columns 16-66, rows 15-25 with
# its double-line frame, the text inside, bright white on blue, the title,
# and the screen given back when the box closes.  Then the screen with
# standard output redirected, the frame without a UTF-8 locale, and the
# console error box as a yes/no question: No ends the program with status 1.
# (Other terminal sizes: tmux_terminal_sizes.sh.)
# Usage: tmux_message_window.sh <console_demo>
set -euo pipefail
export LC_ALL=C.UTF-8 LANG=C.UTF-8

demo=$(readlink -f "$1")
socket="vtrl-console-e2e-$$"
session=
runs=0
tmx() { tmux -L "$socket" -f /dev/null "$@"; }
trap 'tmx kill-server 2>/dev/null || true' EXIT

# start <columns> <rows> [demo argument or redirection] [locale setting]
# (the finished run's session goes once the new one stands, so that the
# server never runs out of sessions in between)
start() {
    local previous=$session
    runs=$((runs + 1))
    session="run$runs"
    tmx new-session -d -s "$session" -x "$1" -y "$2" \
        "env TERM=tmux-256color ${4:-LC_ALL=C.UTF-8} '$demo' ${3:-}; echo \"demo-exit=\$?\"; sleep 60"
    tmx set-option -t "$session" status off >/dev/null
    if [ -n "$previous" ]; then
        tmx kill-session -t "$previous"
    fi
}
start 80 40

fail() {
    echo "FAIL: $*" >&2
    echo "--- pane ---" >&2
    tmx capture-pane -p -t "$session" >&2 || true
    exit 1
}

# Waits (at most 10 s) until the pane shows the text.
wait_for() {
    for _ in $(seq 1 100); do
        if tmx capture-pane -p -t "$session" | grep -qF -- "$1"; then
            return 0
        fi
        sleep 0.1
    done
    fail "the pane never showed '$1'"
}

# Row (1-based) of the captured pane.
row() { sed -n "${1}p" <<<"$pane"; }
# `count` characters of a row from a 1-based column.
cells() {
    local line
    line=$(row "$1")
    printf '%s' "${line:$(($2 - 1)):$3}"
}
expect() {
    [ "$2" = "$3" ] || fail "$1: expected '$3', found '$2'"
}

wait_for "Console check"
pane=$(tmx capture-pane -p -N -t "$session")

horizontal=$(printf '═%.0s' $(seq 1 49))
expect "top edge" "$(cells 15 16 51)" "╔${horizontal}╗"
expect "bottom edge" "$(cells 25 16 51)" "╚${horizontal}╝"
for r in $(seq 16 24); do
    expect "left edge row $r" "$(cells "$r" 16 1)" "║"
    expect "right edge row $r" "$(cells "$r" 66 1)" "║"
done
expect "nothing left of the box" "$(cells 15 1 15)" "               "
expect "nothing right of the box" "$(cells 15 67 14)" "              "
expect "first line" "$(cells 16 17 14)" " Console check"
expect "second line" "$(cells 17 17 12)" " Second line"
expect "third line" "$(cells 18 17 12)" " Press a key"
expect "row above the box" "$(cells 14 1 80)" "$(printf '%80s' '')"

# The interior is bright white on blue: the escape sequences of the row
# carry a blue background.
coloured=$(tmx capture-pane -p -e -t "$session" | sed -n '16p')
grep -qE $'\e\\[([0-9;]*;)?44(;[0-9;]*)?m' <<<"$coloured" ||
    fail "no blue background on the message row: $(printf '%q' "$coloured")"

title=$(tmx display-message -p -t "$session" '#{pane_title}')
expect "title" "$title" "Vantrel console check"

tmx send-keys -t "$session" x
wait_for " Closed"
pane=$(tmx capture-pane -p -N -t "$session")
grep -qF "Console check" <<<"$pane" && fail "the first message was not taken away"
expect "second box" "$(cells 15 16 1)" "╔"
expect "second text" "$(cells 16 17 7)" " Closed"

tmx send-keys -t "$session" y
wait_for "demo-exit=0"

# Standard output redirected away: the screen is still drawn on the terminal.
start 80 40 ">/dev/null"
wait_for "Console check"
pane=$(tmx capture-pane -p -N -t "$session")
expect "top edge with output redirected" "$(cells 15 16 51)" "╔${horizontal}╗"
tmx send-keys -t "$session" x
wait_for " Closed"
tmx send-keys -t "$session" x
wait_for "demo-exit=0"

# Without a UTF-8 locale the frame is drawn with the terminal's own line
# characters (its alternate set: l, q, k, x, m, j as the pane records them),
# not with plain '+', '-' and '|'.
start 80 40 "" "LC_ALL=C"
wait_for "Console check"
pane=$(tmx capture-pane -p -N -t "$session")
lines=$(printf 'q%.0s' $(seq 1 49))
expect "top edge without UTF-8" "$(cells 15 16 51)" "l${lines}k"
expect "side without UTF-8" "$(cells 20 66 1)" "x"
tmx send-keys -t "$session" x
wait_for " Closed"
tmx send-keys -t "$session" x
wait_for "demo-exit=0"

# The error box: its text as a question; Yes carries on, No ends with status 1.
start 80 40 error-box
wait_for "Continue execution?"
pane=$(tmx capture-pane -p -N -t "$session")
grep -qF "Console API Error" <<<"$pane" || fail "no caption in the error box"
grep -qF "dconsole: Error 5 from SetConsoleTitle on line 213:" <<<"$pane" ||
    fail "no report header in the error box"
tmx send-keys -t "$session" y
wait_for " Carried on"
tmx send-keys -t "$session" x
wait_for "demo-exit=0"

start 80 40 error-box
wait_for "Continue execution?"
tmx send-keys -t "$session" n
wait_for "demo-exit=1"
echo "PASS: message window and error box on the terminal"
