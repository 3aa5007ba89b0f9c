#!/usr/bin/env bash
# Prepares the Wine prefix once per run (Wine's first start is slow).
set -euo pipefail
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
fi
wineserver -w 2>/dev/null || true
