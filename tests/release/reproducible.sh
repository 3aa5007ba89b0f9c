#!/usr/bin/env bash
# Two runs of scripts/release.sh from the same sources in two folders of
# different names and depths must give byte-identical packages and symbol
# files: no time, build path or folder name may reach them.  The sources are
# the checkout's tracked files as they are now (so uncommitted changes are
# checked too), copied without .git; the commit and time come from the
# checkout.  ccache is off, so that each run compiles every object itself.
# Usage: tests/release/reproducible.sh [SCRATCH_DIR]
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
scratch=${1:-$(mktemp -d)}
mkdir -p "$scratch"
scratch=$(realpath "$scratch")

commit=$(git -C "$repo" rev-parse --short=12 HEAD)
[ -z "$(git -C "$repo" status --porcelain --untracked-files=no)" ] || commit+=-dirty
export VTRL_RELEASE_COMMIT=$commit
SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct)
export SOURCE_DATE_EPOCH CCACHE_DISABLE=1
unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER

# The two runs go side by side: each one's configure, link and packaging steps
# leave the processor to the other's compiles.
runs=("$scratch/a/vtrlupg" "$scratch/second-run/deeper/vtrlupg-copy")
pids=()
for dir in "${runs[@]}"; do
    rm -rf "$dir"
    mkdir -p "$dir"
    git -C "$repo" ls-files -z | (cd "$repo" && tar --null -T - -cf -) | tar -xf - -C "$dir"
    echo "=== release in $dir"
    (cd "$dir" && scripts/release.sh) >"$dir.log" 2>&1 &
    pids+=($!)
done
for i in "${!runs[@]}"; do
    wait "${pids[$i]}" || { cat "${runs[$i]}.log"; echo "FAIL: the release in ${runs[$i]} failed"; exit 1; }
done

first=${runs[0]}/dist
second=${runs[1]}/dist
(cd "$first" && find . -type f | sort) >"$scratch/first.list"
(cd "$second" && find . -type f | sort) >"$scratch/second.list"
diff "$scratch/first.list" "$scratch/second.list" || { echo "FAIL: the runs made different files"; exit 1; }
[ "$(grep -c -e '\.zip$' -e '\.tar\.gz$' "$scratch/first.list")" = 2 ] ||
    { echo "FAIL: the packages are not both there"; exit 1; }
status=0
while read -r file; do
    if ! cmp -s "$first/$file" "$second/$file"; then
        echo "FAIL: $file differs between the two runs"
        status=1
    fi
done <"$scratch/first.list"
for dir in "$first" "$second"; do
    echo "--- $dir"
    (cd "$dir" && sha256sum -- *.zip *.tar.gz)
done
[ "$status" = 0 ] && echo "PASS: both runs gave the same bytes ($(wc -l <"$scratch/first.list") files)"
exit "$status"
