#!/usr/bin/env bash
# Runs a command with DEVICE standing in for port 1: a private mount namespace in which DEVICE
# is bound over /dev/ttyS0, so the real port 1 is never touched. As root, or else through an
# unprivileged user namespace where the system allows one. Serial lock files go to a private
# /run/lock, so a stand-in port 1 neither blocks nor is blocked by another one.
# usage: scripts/as-port1.sh DEVICE COMMAND [ARGS...]
#        scripts/as-port1.sh --check   (exit 0 if it can run here, else say why and exit 77)
set -euo pipefail
if [ "${1:-}" != --check ] && [ $# -lt 2 ]; then
    echo "usage: $0 DEVICE COMMAND [ARGS...] | --check" >&2
    exit 2
fi
[ -e /dev/ttyS0 ] || { echo "$0: /dev/ttyS0 does not exist to bind over" >&2; exit 77; }
# A mount namespace of its own as root; otherwise, or where a container refuses that, one
# inside an unprivileged user namespace. Each is tried before it is used.
candidates=("unshare --user --map-root-user --mount --propagation private")
[ "$(id -u)" -ne 0 ] || candidates=("unshare --mount --propagation private" "${candidates[@]}")
ns=()
for candidate in "${candidates[@]}"; do
    read -ra try <<<"$candidate"
    if "${try[@]}" -- sh -c 'mount --bind /dev/null /dev/ttyS0 &&
        { [ ! -d /run/lock ] || mount -t tmpfs tq5lock /run/lock; }' 2>/dev/null; then
        ns=("${try[@]}")
        break
    fi
done
if [ ${#ns[@]} -eq 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "$0: binding a device over /dev/ttyS0 needs root or unprivileged user namespaces, and this system allows no such namespace; run it as root" >&2
    else
        echo "$0: this system refuses the mount namespace that binding a device over /dev/ttyS0 needs (a container without CAP_SYS_ADMIN?)" >&2
    fi
    exit 77
fi
[ "$1" = --check ] && exit 0
device=$1
shift
exec "${ns[@]}" -- sh -c 'mount --bind "$0" /dev/ttyS0 &&
    { [ ! -d /run/lock ] || mount -t tmpfs -o mode=1777 tq5lock /run/lock; } && exec "$@"' \
    "$device" "$@"
