#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, and nothing
# that is already there.  Usage: scripts/install-deps.sh [--windows] [--bench] [--checks] [--release]
#   (no option)  Linux build: compiler, CMake, Ninja, GoogleTest sources, ncurses, hidapi, tmux
#   --windows    also the mingw-w64 i686 and x86_64 cross compilers, and Wine to run their
#                tests: 32-bit Wine for the i686 build, wine64 for the x86_64 build (which
#                runs the Windows tests where the kernel runs no 32-bit programs)
#   --bench      also what scripts/bench.sh measures with (GNU time)
#   --checks     also clang with its sanitizer and libFuzzer runtimes (presets linux-asan,
#                linux-fuzz), clang-tidy (with run-clang-tidy, a Python script) and cppcheck
#   --release    also what scripts/release.sh packs with (zip)
set -euo pipefail

want=(g++ cmake ninja-build googletest libncurses-dev libhidapi-dev tmux pkg-config util-linux
      binutils)
with_windows=0
for arg in "$@"; do
    case "$arg" in
        --windows) with_windows=1 ;;
        --bench) want+=(time) ;;
        --checks) want+=(clang libclang-rt-dev clang-tidy python3 cppcheck) ;;
        --release) want+=(zip) ;;
        *) echo "install-deps.sh: unknown option $arg" >&2; exit 2 ;;
    esac
done
if [ "$with_windows" = 1 ]; then
    want+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64
           binutils-mingw-w64-x86-64 wine wine64 wine32:i386)
fi

missing=()
for pkg in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ "${#missing[@]}" = 0 ] && exit 0

sudo=()
if [ "$(id -u)" != 0 ]; then sudo=(sudo); fi
if [ "$with_windows" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
# A mirror caught mid-sync serves an index that does not match its release
# file ("Mirror sync in progress?"): try again a little later; should the
# lists still be incomplete, the install below says which package it lacks.
for attempt in 1 2 3; do
    "${sudo[@]}" apt-get update -q && break
    [ "$attempt" = 3 ] || sleep $((attempt * 10))
done
native=() foreign=()
for pkg in "${missing[@]}"; do
    case "$pkg" in
        *:i386) foreign+=("$pkg") ;;
        *) native+=("$pkg") ;;
    esac
done
install() { DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "$@"; }
[ "${#native[@]}" = 0 ] || install "${native[@]}"
# 32-bit Wine needs the i386 lists to match the native ones (its libraries
# must be of the very versions installed natively).  Without it the Windows
# tests run the x86_64 build under wine64, as on a machine that runs no 32-bit
# programs (scripts/wine-env.sh says so on the run's last line).
if [ "${#foreign[@]}" != 0 ] && ! install "${foreign[@]}"; then
    echo "install-deps.sh: could not install ${foreign[*]} (the i386 package lists" \
        "do not match the native ones); the Windows tests will run the x86_64 build" \
        "under wine64" >&2
fi
