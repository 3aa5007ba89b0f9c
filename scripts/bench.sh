#!/usr/bin/env bash
# Measures the upgrade as a technician meets it: the real Linux vtrlupg against
# vtrlsim on a pseudo-terminal paced at 57600 baud (COM1 in a private mount
# namespace), with the largest image the instrument takes (326652 bytes, the
# calibration branch).  Prints the program's wall time from start to exit
# (the version prompt is answered at once), its peak resident memory, and the
# time the bytes alone need on the wire.  Needs root (unshare -m, mount).
# Usage: scripts/bench.sh [IMAGE_SIZE]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-326652}

scripts/install-deps.sh --bench
cmake --preset linux >/dev/null
cmake --build --preset linux --target vtrlupg vtrlsim vtrl-sample-image
build=build/linux
exec env BENCH_IMAGE_SIZE="$size" E2E_TIMEOUT=600 \
    bash scripts/bench-serial-upgrade.sh "$build/driver/vtrlupg" "$build/sim/vtrlsim"
