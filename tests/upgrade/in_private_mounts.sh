#!/usr/bin/env bash
# Runs a test program in a private mount namespace, so that it can mount file
# systems of its own without touching the host's; exits 77 (skip) where no
# such namespace can be made (unshare -m needs root or user namespaces).
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM [ARGS...]" >&2; exit 2; }
if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "skip: cannot make a private mount namespace here" >&2
    exit 77
fi
VTRL_PRIVATE_MOUNTS=1 exec unshare --mount --propagation private "$@"
