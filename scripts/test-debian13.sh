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
    # In the root, as its root user, the checkout and the package's folder at their own paths.
    . /etc/os-release
    echo "== $PRETTY_NAME, Qt $(qtpaths6 --qt-query QT_VERSION), $(g++ --version | head -1)"
    export BUILD_DIR=build-debian13
    # Built warning-free, or not at all.
    scripts/build.sh -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    scripts/test.sh
    echo "== the package built on Debian 12, installed on Debian 13"
    apt-get install -y -q --no-install-recommends "$2"/tq5bus_*.deb
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
# The package's folder is bound into the root at its own path.
debdir=$(realpath "$(dirname "$(head -n 1 <<<"$debs")")")
status=0
scripts/in-debian13.sh "$root" --bind "$debdir" scripts/test-debian13.sh --inside "$debdir" || status=$?
# The adapter pulled under Qt 6.8 on a real driver, the virtual PC with the root as its system:
# in CI, and elsewhere with TQ5_DEBIAN13_VM=1 (about a minute more).
if [ $status -eq 0 ] && [ "${TQ5_DEBIAN13_VM:-${CI:+1}}" = 1 ]; then
    # The guest mounts the checkout where the root has a folder for it.
    mkdir -p "$root$PWD"
    TQ5_VM_ROOT=$root TQ5_VM_BUILD=build-debian13 scripts/test-vm.sh uart || status=$?
fi
echo "Debian 13: $((SECONDS - start)) s, status $status"
exit $status
