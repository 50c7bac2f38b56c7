#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command with DEVICE standing in for port 1: a private mount namespace in which DEVICE
# is bound over /dev/ttyS0, so the real port 1 is never touched. As root, or else through an
# unprivileged user namespace where the system allows one. Serial lock files go to a private
# /run/lock, so a stand-in port 1 neither blocks nor is blocked by another one. With --lock,
# DEVICE itself is locked in the real /run/lock as Qt locks a serial port, so no other program
# opens it meanwhile, and a start while another program holds it is refused.
# usage: scripts/as-port1.sh [--lock] DEVICE COMMAND [ARGS...]
#        scripts/as-port1.sh --check   (exit 0 if it can run here, else say why and exit 77)
set -euo pipefail
locking=
[ "${1:-}" != --lock ] || { locking=1 && shift; }
if [ "${1:-}" != --check ] && [ $# -lt 2 ]; then
    echo "usage: $0 [--lock] DEVICE COMMAND [ARGS...] | --check" >&2
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
# The same device under another name would be the machine's own port 1 after all.
if [ "$(stat -Lc %t:%T "$device" 2>/dev/null)" = "$(stat -Lc %t:%T /dev/ttyS0)" ]; then
    echo "$0: $device is port 1 (/dev/ttyS0) itself; give the device that is to stand in for it" >&2
    exit 2
fi
# shellcheck disable=SC2016 # expanded by the inner shell
run=("${ns[@]}" -- sh -c 'mount --bind "$0" /dev/ttyS0 &&
    { [ ! -d /run/lock ] || mount -t tmpfs -o mode=1777 tq5lock /run/lock; } && exec "$@"' \
    "$device" "$@")
[ -n "$locking" ] || exec "${run[@]}"

# Qt's lock file: LCK.. and the name below /dev/ with / as _; pid, program and host a line each.
# Qt holds a lock live while that pid runs that program, so this shell holds it, outlives the
# command and removes it. A lock with a pid that no longer runs is stale and replaced.
name=$(realpath "$device")
name=${name#/dev/}
lock=/run/lock/LCK..${name//\//_}
[ -w /run/lock ] || { echo "$0: /run/lock is closed to you; $device is not locked" >&2 && exec "${run[@]}"; }
if [ -e "$lock" ]; then
    pid=$(sed -n '1{s/ //g;p;}' "$lock" 2>/dev/null) || true
    if [[ ! $pid =~ ^[0-9]+$ ]] || [ -d "/proc/$pid" ]; then
        app=$(sed -n 2p "$lock" 2>/dev/null) || true
        echo "$0: $device is in use: $lock names process ${pid:-?}${app:+ ($app)}; close that program first" >&2
        exit 1
    fi
    rm -f "$lock"
fi
if ! (set -C && printf '%s\n%s\n%s\n' $$ "$(basename "$(readlink /proc/$$/exe)")" "$(uname -n)" >"$lock") 2>/dev/null; then
    echo "$0: cannot create $lock to lock $device for this program" >&2
    exit 1
fi
trap 'rm -f "$lock"' EXIT
# The command ends however this shell is asked to end; then the lock goes.
"${run[@]}" <&0 &
command=$!
trap 'kill "$command" 2>/dev/null || true' INT TERM HUP
while :; do
    status=0
    wait "$command" || status=$?
    kill -0 "$command" 2>/dev/null || exit $status
done
