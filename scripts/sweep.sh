#!/usr/bin/env bash
# The interruption sweep: upgrades stopped at each exchange with the instrument
# (power lost, a torn erase or programming command, the program killed) and at
# each step of writing caldata.bin, then run again until they complete.
#
#   scripts/sweep.sh          the sample CI runs
#   scripts/sweep.sh --all    every interruption point, split over the cores
#
# Prints, per size class and way, "N of M interruption points survived" and
# the first failures with what was lost, then the wall time.  Exits 1 when a
# point was not survived.  Builds the Linux preset first.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=sample
case "${1:-}" in
    --all) mode=all ;;
    "") ;;
    *) echo "usage: $0 [--all]" >&2; exit 2 ;;
esac

cmake --preset linux >/dev/null
cmake --build --preset linux --target upgrade_interruption_sweep_test >/dev/null
sweep=build/linux/tests/upgrade/upgrade_interruption_sweep_test

shards=1
if [ "$mode" = all ]; then
    shards=$(nproc 2>/dev/null || echo 1)
fi
out=$(mktemp -d "${TMPDIR:-/tmp}/vtrl-sweep.XXXXXX")
trap 'rm -rf "$out"' EXIT

start=$(date +%s)
pids=()
for ((i = 0; i < shards; i++)); do
    if [ "$mode" = all ]; then
        VTRL_SWEEP=all VTRL_SWEEP_SHARD="$i/$shards" "$sweep" >"$out/shard$i.txt" 2>&1 &
    else
        "$sweep" >"$out/shard$i.txt" 2>&1 &
    fi
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
elapsed=$(($(date +%s) - start))

echo "Interruption sweep ($mode points, $shards process(es))"
cat "$out"/shard*.txt | awk -F ' [|] ' '
    /^SWEEP / {
        class = substr($1, 7)
        if (!(class in seen)) classes[n++] = class
        seen[class] = 1
        split($3, counts, " ")
        survived[class, $2] += counts[1]
        total[class, $2] += counts[2]
    }
    /^SWEEP-LOST / {
        key = substr($1, 12) SUBSEP $2
        if (shown[key]++ < 5) lost[key] = lost[key] "    lost: " $3 "\n"
    }
    END {
        ways[0] = "power lost"; ways[1] = "torn operation"; ways[2] = "host killed"
        ways[3] = "double fault"
        for (i = 0; i < n; i++) {
            print classes[i] ":"
            for (w = 0; w < 4; w++) {
                key = classes[i] SUBSEP ways[w]
                if (!(key in total)) continue
                printf "  %-15s %d of %d interruption points survived\n", ways[w] ":", survived[key], total[key]
                printf "%s", lost[key]
            }
        }
        if (n == 0) print "no sweep results: see the test output"
    }'
echo "Wall time: ${elapsed} s"
if [ "$status" != 0 ]; then
    echo "sweep.sh: interruption points were not survived (or the sweep failed):" >&2
    grep -h -v '^SWEEP' "$out"/shard*.txt | grep -E 'Failure|FAILED' | head -20 >&2 || true
    exit 1
fi
