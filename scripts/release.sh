#!/usr/bin/env bash
# Builds what a service organisation hands out, into dist/ (or --out DIR):
#   vtrlupg-<version>-windows.zip           vtrlupg.exe (32-bit), README.txt, SHA256SUMS
#   vtrlupg-<version>-linux-x86_64.tar.gz   vtrlupg, README.txt, 70-vantrel.rules, SHA256SUMS
#   symbols/                                the debug sections stripped from both programs
#   SHA256SUMS                              of the two archives
# <version> is the program's own (1.006) and the commit it is built from
# (with -dirty when tracked files differ from it).  The programs are built in
# fresh folders under build/release/ (only the shipped targets) and packed
# with fixed times, owners and order, so that two runs from the same commit
# give the same bytes in any folder.  Usage: scripts/release.sh [--out DIR]
# VTRL_RELEASE_COMMIT and SOURCE_DATE_EPOCH stand in for git where the
# checkout has no .git (the reproducibility test's copies).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
out=$src/dist
while [ $# -gt 0 ]; do
    case "$1" in
        --out) out=$(realpath -m "$2"); shift 2 ;;
        *) echo "release.sh: unknown option $1 (usage: scripts/release.sh [--out DIR])" >&2; exit 2 ;;
    esac
done

die() { echo "release.sh: $*" >&2; exit 1; }

program_version=$(sed -n 's/^#define VTRL_VERSION_TEXT "\([0-9.]*\)".*/\1/p' driver/program_version.h)
[ -n "$program_version" ] || die "no VTRL_VERSION_TEXT in driver/program_version.h"
if [ -z "${VTRL_RELEASE_COMMIT:-}" ]; then
    VTRL_RELEASE_COMMIT=$(git rev-parse --short=12 HEAD) || die "not a git checkout: set VTRL_RELEASE_COMMIT"
    if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
        VTRL_RELEASE_COMMIT+=-dirty
    fi
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) || die "not a git checkout: set SOURCE_DATE_EPOCH"
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022
version=$program_version-$VTRL_RELEASE_COMMIT
echo "=== vtrlupg $version"

scripts/install-deps.sh --windows --release

# The shipped targets only, each in a fresh folder.  The Windows program keeps
# its preset's optimisation (what the tests run) with debug information added
# to be split off below.
build=$src/build/release
rm -rf "$build"
cmake --preset windows -B "$build/windows" -DBUILD_TESTING=OFF -DVTRL_RELEASE=ON \
    -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g >/dev/null
cmake --build "$build/windows" --target vtrlupg -j 2
cmake --preset linux -B "$build/linux" -DBUILD_TESTING=OFF -DVTRL_RELEASE=ON >/dev/null
cmake --build "$build/linux" --target vtrlupg -j 2

rm -rf "$out"
mkdir -p "$out/symbols/windows" "$out/symbols/linux-x86_64"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# split OBJCOPY PROGRAM DEBUG_FILE PACKAGED: the debug sections (with the
# symbols) go to DEBUG_FILE, the packaged program keeps none and names its
# debug file for a debugger.
split() {
    "$1" --only-keep-debug "$2" "$3"
    "$1" --strip-all --add-gnu-debuglink="$3" "$2" "$4"
}

# Windows: the 32-bit program, imports from system DLLs only.
win_dir=$stage/windows
mkdir -p "$win_dir"
split i686-w64-mingw32-objcopy "$build/windows/driver/vtrlupg.exe" \
    "$out/symbols/windows/vtrlupg.exe.debug" "$win_dir/vtrlupg.exe"
bash scripts/check-pe-imports.sh i686-w64-mingw32-objdump i386 "$win_dir/vtrlupg.exe" >/dev/null ||
    die "the packaged vtrlupg.exe is not a 32-bit console program importing system DLLs only"
scripts/guide-text.sh crlf <docs/operator-guide.md >"$win_dir/README.txt"

# Linux: shared libraries only from glibc, libudev, libstdc++ and libgcc, which
# every Debian and Ubuntu has, and no newer than the guide promises: those of
# Debian 12 and Ubuntu 22.04 (glibc 2.35, the libstdc++ of GCC 12).
lin_name=vtrlupg-$version-linux-x86_64
lin_dir=$stage/$lin_name
mkdir -p "$lin_dir"
split objcopy "$build/linux/driver/vtrlupg" "$out/symbols/linux-x86_64/vtrlupg.debug" "$lin_dir/vtrlupg"
needed=$(objdump -p "$lin_dir/vtrlupg" | awk '$1 == "NEEDED" { print $2 }' |
         grep -Ev '^(libc|libm|libudev|libstdc\+\+|libgcc_s|ld-linux-x86-64)\.so\.[0-9]+$' || true)
[ -z "$needed" ] || die "the Linux program needs libraries a plain system may lack: $needed"
newest() { objdump -T "$lin_dir/vtrlupg" | grep -o "($1_[0-9.]*)" | tr -d '()' | sort -V | tail -1; }
for limit in GLIBC_2.35 GLIBCXX_3.4.30 CXXABI_1.3.13; do
    have=$(newest "${limit%_*}")
    [ "$(printf '%s\n' "$have" "$limit" | sort -V | tail -1)" = "$limit" ] ||
        die "the Linux program needs $have, newer than $limit (Ubuntu 22.04)"
done
scripts/guide-text.sh lf <docs/operator-guide.md >"$lin_dir/README.txt"
cp docs/70-vantrel.rules "$lin_dir/"

for dir in "$win_dir" "$lin_dir"; do
    (cd "$dir" && sha256sum -- * >SHA256SUMS)
    chmod 644 "$dir"/*
    chmod 755 "$dir"/vtrlupg*
    chmod 755 "$dir"
    find "$dir" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +
done
# Windows' own tool lists the entries in the order stored: the program first.
(cd "$win_dir" && zip -X -D -9 -q "$out/vtrlupg-$version-windows.zip" vtrlupg.exe README.txt SHA256SUMS)
tar -C "$stage" --sort=name --format=gnu --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner -cf - "$lin_name" | gzip -n -9 >"$out/$lin_name.tar.gz"
(cd "$out" && sha256sum -- *.zip *.tar.gz >SHA256SUMS)

echo "=== packages in $out"
(cd "$out" && ls -l -- *.zip *.tar.gz && cat SHA256SUMS)
