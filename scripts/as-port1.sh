#!/usr/bin/env bash
# Runs a command with DEVICE standing in for port 1: a private mount namespace in which DEVICE
# is bound over /dev/ttyS0, so the real port 1 is never touched. Needs root.
# usage: scripts/as-port1.sh DEVICE COMMAND [ARGS...]
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: $0 DEVICE COMMAND [ARGS...]" >&2
    exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "$0: binding a device over /dev/ttyS0 needs root; run it with sudo" >&2
    exit 77
fi
device=$1
shift
[ -e /dev/ttyS0 ] || { echo "$0: /dev/ttyS0 does not exist to bind over" >&2; exit 77; }
exec unshare --mount --propagation private -- sh -c 'mount --bind "$0" /dev/ttyS0 && exec "$@"' "$device" "$@"
