#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# This checkout built and tested on Debian 13 (Qt 6.8, GCC 14), in the root that
# scripts/debian13-root.sh makes: scripts/test.sh there (the build into build-debian13/, the
# suite as root and as nobody), then the package built here (scripts/package.sh) installed there
# with apt-get and driven through tq5bus-port1, a hang-up included; in CI also the virtual PC
# with the root as its system (an adapter pulled under Qt 6.8). It runs in mount and PID
# namespaces of its own, so all it mounts goes when it ends. Needs root; exit 77 (skipped) with
# the reason where it cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."
skip() { echo "SKIP: $*" && exit 77; }

if [ "${1:-}" = --inside ]; then
    # In the root, as its root user, the checkout at its own path.
    . /etc/os-release
    echo "== $PRETTY_NAME, Qt $(qtpaths6 --qt-query QT_VERSION), $(g++ --version | head -1)"
    export BUILD_DIR=build-debian13
    # Built warning-free, or not at all.
    scripts/build.sh -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    scripts/test.sh
    echo "== the package built on Debian 12, installed on Debian 13"
    apt-get install -y -q --no-install-recommends /tmp/debs/tq5bus_*.deb
    # Installed, tq5bus-port1 takes no COMMAND and no pseudo-terminal: the test drives the
    # installed program through the installed command's copy, in a folder marked as a build's.
    staged=$(mktemp -d)
    cp /usr/bin/tq5bus-port1 "$staged/" && ln -s /usr/bin/tq5bus "$staged/" && : >"$staged/CMakeCache.txt"
    tests/e2e/e2e.sh "$staged/tq5bus-port1" "$BUILD_DIR/tq5sim" "$BUILD_DIR/tests/layout_probe"
    rm -rf "$staged"
    dpkg -r tq5bus >/dev/null
    echo "Debian 13 passed"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || skip "the Debian 13 root needs root (debootstrap, mounts)"
command -v pivot_root >/dev/null || skip "pivot_root is missing (apt-get install util-linux)"
start=$SECONDS
root=$(scripts/debian13-root.sh)
echo "== the package, built on this machine ($(. /etc/os-release && echo "$PRETTY_NAME"))"
debs=$(scripts/package.sh)
# The root stays as made: the run writes to an overlay of it in memory, so runs side by side do
# not meet. The overlay becomes the namespace's own root (pivot_root, not chroot): an ordinary
# user may then make the user namespace tq5bus-port1 needs.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
# shellcheck disable=SC2016 # expanded by the inner shell
WORK=$work LOWER=$root REPO=$PWD DEBS=$debs unshare --mount --pid --fork --propagation private bash -euo pipefail -c '
    mount -t tmpfs -o mode=755 t13 "$WORK"
    mkdir "$WORK/upper" "$WORK/work" "$WORK/root"
    ROOT=$WORK/root
    mount -t overlay -o lowerdir="$LOWER",upperdir="$WORK/upper",workdir="$WORK/work" t13 "$ROOT"
    mount -t proc proc "$ROOT/proc"
    mount -t sysfs -o ro sys "$ROOT/sys"
    for d in tmp dev/shm; do mount -t tmpfs -o mode=1777 tmp "$ROOT/$d"; done
    mount -t tmpfs -o mode=755 run "$ROOT/run"
    mkdir -m 1777 "$ROOT/run/lock"
    mount -t devpts -o newinstance,ptmxmode=666,mode=620,gid=5 pts "$ROOT/dev/pts"
    mount --bind "$ROOT/dev/pts/ptmx" "$ROOT/dev/ptmx"
    mkdir -p "$ROOT$REPO" "$ROOT/tmp/debs"
    mount --bind "$REPO" "$ROOT$REPO"
    cp $DEBS "$ROOT/tmp/debs/"
    cd "$ROOT"
    mkdir -p .host
    pivot_root . .host
    exec chroot . /bin/sh -c "umount -l /.host && cd \"\$0\" && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb scripts/test-debian13.sh --inside" "$REPO"
' || status=$?
# The adapter pulled under Qt 6.8 on a real driver, the virtual PC with the root as its system:
# in CI, and elsewhere with TQ5_DEBIAN13_VM=1 (about a minute more).
if [ $status -eq 0 ] && [ "${TQ5_DEBIAN13_VM:-${CI:+1}}" = 1 ]; then
    # The guest mounts the checkout where the root has a folder for it.
    mkdir -p "$root$PWD"
    TQ5_VM_ROOT=$root TQ5_VM_BUILD=build-debian13 scripts/test-vm.sh uart || status=$?
fi
echo "Debian 13: $((SECONDS - start)) s, status $status"
exit $status
