#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds and runs every test. The tests never open the real port 1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
# The end-to-end test drives the real window on a virtual display.
scripts/deps.sh xvfb xdotool xclip
export QT_QPA_PLATFORM=offscreen
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d)
    trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
export XDG_RUNTIME_DIR
echo "== the suite on $(. /etc/os-release && echo "$PRETTY_NAME"), Qt $(qtpaths6 --qt-query QT_VERSION)"
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --timeout 300
# As root, the same tests again as an ordinary user: each must pass both ways.
[ "$(id -u)" -ne 0 ] || scripts/test-as-user.sh
# The sanitizer build, a short fuzz run and valgrind: always in CI, elsewhere with TQ5_HARDENING=1.
if [ "${TQ5_HARDENING:-${CI:+1}}" = 1 ]; then
    scripts/test-hardening.sh
fi
# The Debian packages built, checked, installed, driven and removed: always in CI, where it must
# not be skipped; elsewhere with TQ5_PACKAGE_TEST=1 (as root).
if [ "${TQ5_PACKAGE_TEST:-${CI:+1}}" = 1 ]; then
    status=0
    scripts/test-package.sh || status=$?
    [ $status -eq 0 ] || { [ $status -eq 77 ] && [ -z "${CI:-}" ]; } || exit $status
fi
# The Windows build, tried under wine: in CI, and elsewhere with TQ5_WINDOWS_TEST=1. Skipped only
# where there is no Qt for Windows; in CI, where there is one, it must run.
if [ "${TQ5_WINDOWS_TEST:-${CI:+1}}" = 1 ]; then
    status=0
    scripts/test-windows.sh || status=$?
    [ $status -eq 0 ] || { [ $status -eq 77 ] && { [ -z "${CI:-}" ] ||
        [ ! -e ../shared/toolchains/qt-6.8.0-mingw64.tar.xz ]; }; } || exit $status
fi
# The program on real serial drivers in a virtual PC (QEMU): in CI, where it must not be skipped,
# and elsewhere with TQ5_VM_TEST=1.
if [ "${TQ5_VM_TEST:-${CI:+1}}" = 1 ]; then
    status=0
    scripts/test-vm.sh || status=$?
    [ $status -eq 0 ] || { [ $status -eq 77 ] && [ -z "${CI:-}" ]; } || exit $status
fi
# The same checkout built and tested on Debian 13 (Qt 6.8), the package built here installed there:
# in CI, where it must not be skipped, and elsewhere with TQ5_DEBIAN13_TEST=1 (as root).
if [ "${TQ5_DEBIAN13_TEST:-${CI:+1}}" = 1 ]; then
    status=0
    scripts/test-debian13.sh || status=$?
    [ $status -eq 0 ] || { [ $status -eq 77 ] && [ -z "${CI:-}" ]; } || exit $status
fi
