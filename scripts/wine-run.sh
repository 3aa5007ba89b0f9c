#!/usr/bin/env bash
# Runs a Windows program under the Wine of VTRL_WINE_ARCH (scripts/wine-env.sh),
# in WINEPREFIX: the Windows builds' CMAKE_CROSSCOMPILING_EMULATOR.
# Usage: VTRL_WINE_ARCH=win32|win64 WINEPREFIX=... wine-run.sh PROGRAM.exe [ARGS...]
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
vtrl_wine_env || exit 2
exec "$VTRL_WINE" "$@"
