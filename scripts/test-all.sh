#!/usr/bin/env bash
# Installs what is missing, builds the Linux and the Windows targets and runs
# every test (unit, integration, e2e; the Windows tests under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows

cmake --preset linux
cmake --build --preset linux
ctest --preset linux

cmake --preset windows
cmake --build --preset windows
scripts/wine-prefix.sh
WINEDEBUG=-all ctest --preset windows
