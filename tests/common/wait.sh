# Waiting helpers shared by the end-to-end scenario libraries (sourced).

# wait_until SECONDS COMMAND [ARGS...]: runs COMMAND every 0.1 s until it
# succeeds (returns 0) or SECONDS have passed (returns 1).
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    while [ $SECONDS -lt $deadline ]; do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# has_line FILE LINE: FILE holds LINE as a whole line.
has_line() { grep -qxF -- "$2" "$1" 2>/dev/null; }

# status_recorded FILE: the program's exit status has been written to FILE.
status_recorded() { [ -s "$1" ]; }
