#!/usr/bin/env bash
# Prepares a Wine prefix once (Wine's first start in a new prefix takes about
# ten seconds) and keeps its wineserver running, so that each test under Wine
# afterwards starts in a fraction of a second instead of restarting Wine's
# services.  Stop it with `WINEPREFIX=<prefix> wineserver -k`.
# Usage: scripts/wine-prefix.sh [prefix [seconds]]
#   prefix   default build/windows/wineprefix (the windows preset's test prefix)
#   seconds  how long the server stays up after its last client (default 600)
# With VTRL_WINE_TEMPLATE naming a finished prefix, a new prefix is a copy of
# it (a second or two) instead of a fresh wineboot.  VTRL_WINE_ARCH (win32, the
# default, or win64) names the Wine and the prefix's width (scripts/wine-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh
vtrl_wine_env
vtrl_wine_present || { echo "wine-prefix.sh: no $VTRL_WINE_ARCH Wine at $VTRL_WINE" >&2; exit 1; }

export WINEDEBUG=-all
WINEPREFIX="$(realpath -m "${1:-build/windows/wineprefix}")"
export WINEPREFIX
persist="${2:-600}"
# Without a display Wine must not try to open one.
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$WINEPREFIX")"
# One creator at a time: two wineboots in one fresh prefix spoil it.
exec 9>"$WINEPREFIX.lock"
flock 9
template="${VTRL_WINE_TEMPLATE:-}"
if [ ! -f "$WINEPREFIX/system.reg" ] && [ -n "$template" ] && [ -f "$template/system.reg" ] &&
    [ "$(realpath -m "$template")" != "$WINEPREFIX" ]; then
    start=$(date +%s%N)
    rm -rf "$WINEPREFIX"
    if cp -a "$template" "$WINEPREFIX.tmp.$$" && mv "$WINEPREFIX.tmp.$$" "$WINEPREFIX"; then
        echo "Wine prefix $WINEPREFIX copied from $template in $((($(date +%s%N) - start) / 1000000)) ms"
    else
        rm -rf "$WINEPREFIX.tmp.$$" "$WINEPREFIX"
    fi
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    start=$(date +%s%N)
    # Wine's services outlive wineboot: they must not hold on to our output,
    # nor on to the lock (fd 9), or the next call here waits for them to end.
    wine wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    wineserver -w </dev/null >/dev/null 2>&1 9>&- || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine-prefix.sh: wineboot did not create $WINEPREFIX" >&2
        exit 1
    fi
    echo "Wine prefix $WINEPREFIX created in $((($(date +%s%N) - start) / 1000000)) ms"
fi
# A running server is left alone; otherwise start one that waits for clients.
wineserver -p"$persist" </dev/null >/dev/null 2>&1 9>&- || true
# Start Wine's services now, on /dev/null: started by the first test instead,
# they would keep that test's output pipe open (CTest waits for it) until the
# server ends.
wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
