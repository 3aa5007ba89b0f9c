#!/usr/bin/env bash
# The console on terminals of other sizes than 80 by 40, each a detached tmux
# pane: the terminal is a view of the 80 by 40 screen that follows the newest
# window.  For each size the USB found window, the version prompt, the
# progress window and an abort message over it are seen whole, cell by cell
# (character and colour), and closing a window gives back every cell as it
# was.  On the way: the terminal is asked to become 80 by 40 (tmux does not),
# the underline cursor is asked for with the terminal's cursor-shape
# sequence, a terminal enlarged later shows the whole screen, and after the
# end the last window stays in the terminal.
# Usage: tmux_terminal_sizes.sh <console_demo> <screen.pl>
set -euo pipefail
export LC_ALL=C.UTF-8 LANG=C.UTF-8

demo=$(readlink -f "$1")
screen_pl=$(readlink -f "$2")
socket="vtrl-console-sizes-$$"
dir=$(mktemp -d)
tmx() { tmux -L "$socket" -f /dev/null "$@"; }
trap 'tmx kill-server 2>/dev/null || true; rm -rf "$dir"' EXIT

fail() {
    echo "FAIL ($size): $*" >&2
    [ -s "$dir/diff" ] && cat "$dir/diff" >&2
    tmx capture-pane -p -t s >&2 || true
    exit 1
}

# Waits (at most 10 s) until the pane shows, or with "!" no longer shows, the text.
wait_for() {
    local negate=
    [ "$1" = "!" ] && { negate=1; shift; }
    for _ in $(seq 1 100); do
        if tmx capture-pane -p -t s | grep -qF -- "$1"; then
            [ -z "$negate" ] && return 0
        elif [ -n "$negate" ]; then
            return 0
        fi
        sleep 0.1
    done
    fail "the pane ${negate:+still }showed${negate:- never} '$1'"
}

# expect NAME EXPECTATION: the pane, cell by cell, against the screen the
# expectation lines describe (screen.pl), given a moment to be drawn whole.
expect() {
    : >"$dir/diff"
    for _ in $(seq 1 15); do
        tmx capture-pane -p -e -N -t s >"$dir/capture"
        perl "$screen_pl" <(printf '%s\n' "$2") <"$dir/capture" 2>"$dir/diff" && return 0
        sleep 0.2
    done
    fail "$1 is not seen whole as it must be"
}

usb='fill 1F
box 7 15 74 24 1F 0F double
whole 7 15 74 24
text 8 16 Found Vantrel on USB 
text 8 17 Firmware Version 1.006
text 8 18 Language = <English>
text 8 19 Maufacturer = Vantrel
text 8 20 Product = Cycler
text 8 21 Serial Number = 42'
prompt='fill 1F
box 16 15 66 25 1F 0F double
whole 16 15 66 25
text 17 16  Old program version:  1.006
text 17 18  New program version:  1.007
text 17 20  Proceed with download? y/n :'
progress='fill 1F
box 15 10 65 20 1F 0F double
whole 15 10 65 20
text 16 11  Downloading: 
text 16 12  Remaining blocks: 599  Retries: 0'
message="$progress
box 16 15 66 25 1F 0F double
whole 16 15 66 25
text 17 16 Excessive retries error.
text 17 17  Download aborted.
text 17 18  Please press a key..."

# columns rows [columns rows the terminal is enlarged to at the end]
for sizes in "80 24 80 40" "100 30" "70 50"; do
    read -r columns rows grow_columns grow_rows <<<"$sizes"
    size="${columns}x${rows}"
    tmx kill-session -t s 2>/dev/null || true
    rm -f "$dir/go" "$dir/output"
    # The demo starts once its output is being recorded.
    tmx new-session -d -s s -x "$columns" -y "$rows" \
        "while [ ! -e '$dir/go' ]; do sleep 0.05; done; env TERM=tmux-256color '$demo' windows; echo demo-exit=\$?; sleep 60"
    tmx set-option -t s status off >/dev/null
    tmx pipe-pane -t s -O "cat >'$dir/output'"
    touch "$dir/go"

    wait_for "Serial Number = 42"
    expect "the USB found window" "$usb"
    tmx send-keys -t s x
    wait_for "Proceed with download? y/n :"
    expect "the version prompt" "$prompt"
    tmx send-keys -t s y
    wait_for "Remaining blocks"
    expect "the progress window" "$progress"
    tmx capture-pane -p -e -N -t s >"$dir/before-message"
    tmx send-keys -t s x
    wait_for "Download aborted."
    expect "the message over the progress window" "$message"
    tmx send-keys -t s x
    wait_for ! "Download aborted."
    expect "the progress window after the message" "$progress"
    tmx capture-pane -p -e -N -t s | cmp -s - "$dir/before-message" ||
        fail "closing the message did not give back the pane as it was"
    if [ -n "$grow_columns" ]; then
        tmx resize-window -t s -x "$grow_columns" -y "$grow_rows"
        size="${size} enlarged to ${grow_columns}x${grow_rows}"
        expect "the whole screen once enlarged" "${progress}
whole 1 1 80 40"
    fi
    tmx send-keys -t s x
    wait_for ! "Downloading:"
    expect "the screen with every window closed" "fill 1F"
    tmx send-keys -t s x
    wait_for "demo-exit=0"

    tmx capture-pane -p -S - -t s | grep -qF "║ Remaining blocks: 599  Retries: 0" ||
        fail "the last window did not stay in the terminal"
    grep -qF $'\e[8;40;80t' "$dir/output" || fail "the terminal was not asked for 80 by 40"
    grep -qF $'\e[3 q' "$dir/output" || fail "no underline cursor was asked for"
    echo "ok: $size"
done
echo "PASS: the windows on terminals of 80x24, 100x30 and 70x50"
