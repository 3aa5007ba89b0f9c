#!/usr/bin/env bash
# clang-tidy (.clang-tidy: bugprone, cert and performance checks) and cppcheck
# (cppcheck-suppressions.txt) over the program's own sources: console/ link/
# protocol/ driver/ platform/, with their linux/ and windows/ folders.
# clang-tidy reads the Linux build's compile commands (build/linux, made first
# if missing), so it sees the Linux platform files; cppcheck reads every file,
# the Windows backends included.  Any finding fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
folders='(console|link|protocol|driver|platform)'

if [ ! -f build/linux/compile_commands.json ]; then
    cmake --preset linux >/dev/null
fi
status=0
echo "clang-tidy:"
# Two jobs on the product's own files only; headers of the same folders are
# judged where they are included.
if ! run-clang-tidy -j 2 -quiet -p build/linux -header-filter="^$PWD/$folders/" \
        "^$PWD/$folders/((linux|windows)/)?[^/]*\.cpp$" >build/linux/clang-tidy.log 2>&1 \
        || grep -qE '(warning|error):' build/linux/clang-tidy.log; then
    grep -E '(warning|error):' build/linux/clang-tidy.log | sort -u || cat build/linux/clang-tidy.log
    status=1
else
    echo "  $(grep -c '^clang-tidy' build/linux/clang-tidy.log) files, no finding"
fi
echo "cppcheck:"
if ! cppcheck --enable=warning,performance,portability,style --std=c++17 --language=c++ \
        --inline-suppr --suppressions-list=cppcheck-suppressions.txt --error-exitcode=1 \
        --quiet -j 2 -I. console link protocol driver platform; then
    status=1
else
    echo "  $(find console link protocol driver platform -name '*.cpp' -o -name '*.h' | wc -l) files, no finding"
fi
exit $status
