#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs COMMAND, from this checkout, as root in an in-memory overlay of the Debian 13 root that
# scripts/debian13-root.sh makes, in mount and PID namespaces of its own: whatever it mounts or
# starts ends with it, and the root stays as made, so runs side by side do not meet. The overlay
# becomes the namespace's root (pivot_root, not chroot), so an ordinary user there may make the
# user namespace tq5bus-port1 needs. The checkout and each --bind DIR keep their paths inside.
set -euo pipefail
usage="usage: scripts/in-debian13.sh ROOT [--bind DIR]... COMMAND [ARGS...]   (as root)"
cd "$(dirname "$0")/.."
[ $# -ge 2 ] || { echo "$usage" >&2 && exit 2; }
root=$1 && shift
binds=("$PWD")
while [ "${1:-}" = --bind ]; do binds+=("$(realpath "$2")") && shift 2; done
[ $# -ge 1 ] || { echo "$usage" >&2 && exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "scripts/in-debian13.sh: run it as root (mounts)" >&2 && exit 1; }
ns=$(mktemp -d)
trap 'rm -rf "$ns"' EXIT
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --pid --fork --kill-child --propagation private bash -euo pipefail -c '
    ns=$1 lower=$2 binds=$3 && shift 3
    mount -t tmpfs -o mode=755 t13 "$ns"
    mkdir "$ns/upper" "$ns/work" "$ns/root"
    r=$ns/root
    mount -t overlay -o lowerdir="$lower",upperdir="$ns/upper",workdir="$ns/work" t13 "$r"
    mount -t proc proc "$r/proc"
    mount -t sysfs -o ro sys "$r/sys"
    for d in tmp dev/shm; do mount -t tmpfs -o mode=1777 tmp "$r/$d"; done
    mount -t tmpfs -o mode=755 run "$r/run"
    mkdir -m 1777 "$r/run/lock"
    mount -t devpts -o newinstance,ptmxmode=666,mode=620,gid=5 pts "$r/dev/pts"
    mount --bind "$r/dev/pts/ptmx" "$r/dev/ptmx"
    while IFS= read -r d; do mkdir -p "$r$d" && mount --bind "$d" "$r$d"; done <<<"$binds"
    cd "$r" && mkdir -p .host && pivot_root . .host
    exec chroot . /bin/sh -c "umount -l /.host && cd \"\$0\" && exec env -i \
        PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \"\$@\"" "$0" "$@"
' "$PWD" "$ns" "$root" "$(printf '%s\n' "${binds[@]}")" "$@" &
# Asked to end, the namespace's first process goes, and with it everything in the namespace.
child=$!
trap 'kill "$child" 2>/dev/null' INT TERM
status=0
while :; do
    wait "$child" || status=$?
    kill -0 "$child" 2>/dev/null || exit $status
done
