# Which Wine runs which Windows build (sourced by the scripts that run Wine).
# Each build runs under the Wine of its own width, named by path: the
# /usr/bin/wine wrapper tries the 32-bit loader first, which cannot start on a
# machine whose kernel runs no 32-bit programs.
#
#   VTRL_WINE_ARCH=win32  the i686 build (the product): 32-bit Wine, 32-bit prefix
#   VTRL_WINE_ARCH=win64  the x86_64 build: wine64, 64-bit prefix
#
# vtrl_wine_env sets VTRL_WINE (the loader) and WINESERVER (the server the
# scripts start and stop), and exports WINEARCH (Wine's own variable: the
# prefix's width when it is made) and, for wine64, WINELOADER as the wrapper
# would; after it, `wine` and `wineserver` are functions that run those.  The
# CMake builds give their tests VTRL_WINE_ARCH (and run their test programs
# through scripts/wine-run.sh).

VTRL_WINE_DIR=${VTRL_WINE_DIR:-/usr/lib/wine}

# vtrl_wine_env [ARCH]: ARCH defaults to $VTRL_WINE_ARCH, else win32.
vtrl_wine_env() {
    VTRL_WINE_ARCH=${1:-${VTRL_WINE_ARCH:-win32}}
    case "$VTRL_WINE_ARCH" in
        win32)
            VTRL_WINE=$VTRL_WINE_DIR/wine
            unset WINELOADER
            ;;
        win64)
            VTRL_WINE=$VTRL_WINE_DIR/wine64
            export WINELOADER=$VTRL_WINE
            ;;
        *)
            echo "wine-env.sh: VTRL_WINE_ARCH is win32 or win64, not $VTRL_WINE_ARCH" >&2
            return 2
            ;;
    esac
    # One server serves both widths.  A loader that finds none running starts
    # the one beside it (Debian's wineserver script: the 64-bit server where it
    # is installed), so the scripts use that one too.
    WINESERVER=$VTRL_WINE_DIR/wineserver64
    [ -x "$WINESERVER" ] || WINESERVER=$VTRL_WINE_DIR/wineserver32
    export VTRL_WINE_ARCH WINEARCH=$VTRL_WINE_ARCH WINESERVER
}

wine() { "$VTRL_WINE" "$@"; }
wineserver() { "$WINESERVER" "$@"; }

# vtrl_wine_present: the Wine of this width is installed.
vtrl_wine_present() { [ -x "$VTRL_WINE" ] && [ -x "$WINESERVER" ]; }

# vtrl_runs_32bit DIR: whether this machine executes 32-bit x86 programs, found
# by running one: a 95-byte static i386 ELF (exit(42) through int 0x80) written
# to DIR.  A kernel with 32-bit emulation off refuses it ("Exec format error").
# Prints what the attempt gave.
vtrl_runs_32bit() {
    local probe="$1/vtrl-i386-probe" status
    mkdir -p "$1"
    # ELF header (52 bytes), one loadable segment at 0x08048000 (32 bytes), code:
    # xor ebx,ebx; mov bl,42; mov eax,1; int 0x80.
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0' >"$probe"
    printf '\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0' >>"$probe"
    printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\137\0\0\0\137\0\0\0\5\0\0\0\0\20\0\0' >>"$probe"
    printf '\61\333\263\52\270\1\0\0\0\315\200' >>"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    status=$?
    if [ "$status" = 42 ]; then
        echo "a 32-bit program runs here"
        return 0
    fi
    # Run it once more in a subshell for the kernel's own words.
    echo "a 32-bit program does not run here: $( ("$probe") 2>&1 | sed 's/.*: //' | head -n 1)" \
        "(status $status)"
    return 1
}

# vtrl_choose_windows_build SCRATCH_DIR: which Windows build's tests run here:
# VTRL_WINDOWS_TESTS (i686 or x86_64) when set, else the i686 build where this
# machine runs 32-bit programs and has 32-bit Wine, and the x86_64 build where
# it does not.  Sets
# VTRL_WINDOWS_BUILD (i686, x86_64), VTRL_WINDOWS_PRESET (its CMake preset),
# VTRL_WINDOWS_WHY and VTRL_WINDOWS_SUMMARY (a line saying which and why), and
# selects its Wine (vtrl_wine_env).
vtrl_choose_windows_build() {
    local probe
    case "${VTRL_WINDOWS_TESTS:-}" in
        i686 | x86_64)
            probe=$(vtrl_runs_32bit "$1") || true
            VTRL_WINDOWS_BUILD=$VTRL_WINDOWS_TESTS
            VTRL_WINDOWS_WHY="VTRL_WINDOWS_TESTS=$VTRL_WINDOWS_TESTS; $probe"
            ;;
        "")
            if probe=$(vtrl_runs_32bit "$1"); then
                if [ -x "$VTRL_WINE_DIR/wine" ]; then
                    VTRL_WINDOWS_BUILD=i686 VTRL_WINDOWS_WHY=$probe
                else
                    VTRL_WINDOWS_BUILD=x86_64
                    VTRL_WINDOWS_WHY="$probe, but 32-bit Wine is not installed"
                fi
            else
                VTRL_WINDOWS_BUILD=x86_64 VTRL_WINDOWS_WHY=$probe
            fi
            ;;
        *)
            echo "VTRL_WINDOWS_TESTS is i686 or x86_64, not $VTRL_WINDOWS_TESTS" >&2
            return 2
            ;;
    esac
    if [ "$VTRL_WINDOWS_BUILD" = i686 ]; then
        VTRL_WINDOWS_PRESET=windows
        vtrl_wine_env win32
        VTRL_WINDOWS_SUMMARY="the i686 build under 32-bit Wine ($VTRL_WINDOWS_WHY)"
    else
        VTRL_WINDOWS_PRESET=windows-x64
        vtrl_wine_env win64
        VTRL_WINDOWS_SUMMARY="the x86_64 build under wine64 ($VTRL_WINDOWS_WHY)"
    fi
}
