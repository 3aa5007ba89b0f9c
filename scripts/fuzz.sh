#!/usr/bin/env bash
# Builds the libFuzzer targets (preset linux-fuzz) and runs each for SECONDS
# (default 60) with a fixed seed, two at a time, starting from its seed corpus
# in tests/fuzz/corpus/<target> (left unchanged; what a run adds goes to
# build/linux-fuzz/fuzz-runs/<target>/corpus).  Prints, per target, the
# executions, the coverage (edges and features) reached, the corpus size and
# the findings; a finding's input is kept in build/linux-fuzz/fuzz-runs/<target>/
# and the script ends with status 1.  A finding becomes a regression test once
# its input is copied to tests/fuzz/corpus/<target>/regress-<what>: the
# fuzz_<target>_replay tests run every file there.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(image_file caldata serial_reply usb_reply report_descriptor upgrade)

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz
build=build/linux-fuzz
runs=$build/fuzz-runs

run_one() {
    local target=$1 seconds=$2 build=$3 runs=$4
    local dir=$runs/$target
    rm -rf "$dir"
    mkdir -p "$dir/corpus"
    # -timeout: one input (a whole upgrade) longer than this is a hang.
    "$build/tests/fuzz/fuzz_$target" -seed=1 -max_total_time="$seconds" -max_len=4096 \
        -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/" \
        "$dir/corpus" "tests/fuzz/corpus/$target" >"$dir/log" 2>&1 || true
}
export -f run_one
printf '%s\n' "${targets[@]}" | xargs -P 2 -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$build" "$runs"

status=0
printf '%-13s %10s %8s %7s %7s %7s %s\n' target executions exec/s edges features corpus findings
for target in "${targets[@]}"; do
    dir=$runs/$target
    log=$dir/log
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    [ -n "$execs" ] || execs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$log" | tail -1 || true)
    cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.*corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
    findings=$(find "$dir" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' \
        -o -name 'oom-*' -o -name 'leak-*' \) | sort)
    if [ -n "$findings" ]; then
        status=1
        summary=$(grep -m1 -E 'finding:|ERROR: |runtime error' "$log" || echo "see $log")
        printf '%-13s %10s %8s %7s %7s %7s %s\n' "$target" "${execs:-?}" "${rate:-?}" \
            "${cov:-?}" "${ft:-?}" "${corp:-?}" "$(wc -l <<<"$findings"): $summary"
        sed 's/^/    /' <<<"$findings"
    else
        printf '%-13s %10s %8s %7s %7s %7s %s\n' "$target" "${execs:-?}" "${rate:-?}" \
            "${cov:-?}" "${ft:-?}" "${corp:-?}" none
    fi
done
exit $status
