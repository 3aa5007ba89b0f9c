#!/usr/bin/env bash
# Prints the bad-line table (upgrades over a line that loses, changes or delays
# replies at 1 %, 10 % and 100 % of exchanges: completions out of RUNS seeded
# runs and the median virtual time, per link and size class) and the bad-disk
# table (each way the disk fails the program's files: the message, what was
# erased, whether an earlier caldata.bin was kept, what was left behind, and
# whether the next run came out clean).  In-process on the virtual clock.
# Usage: scripts/fault-tables.sh [RUNS]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}

scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target vtrl-fault-tables >/dev/null
tool=build/linux/tests/upgrade/vtrl-fault-tables
status=0
echo "== bad line ($runs runs per row)"
"$tool" line "$runs" || status=1
echo
echo "== bad disk"
"$tool" disk || status=1
exit $status
