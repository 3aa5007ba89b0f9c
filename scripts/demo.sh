#!/usr/bin/env bash
# Installs what is missing, builds the Linux programs and runs the upgrade
# against the simulated instrument (vtrlupg-demo) in this terminal.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target vtrlupg-demo
exec build/linux/demo/vtrlupg-demo "$@"
