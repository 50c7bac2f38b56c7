#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the built test suite again as an ordinary user (TQ5_TEST_USER, default nobody), as a
# contributor without root would: CI runs as root, and a test that passes only as root would
# otherwise go unnoticed. Run it as root, after scripts/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath "${BUILD_DIR:-build}")
user=${TQ5_TEST_USER:-nobody}
if [ "$(id -u)" -ne 0 ]; then
    echo "$0: run it as root; it runs the tests as $user" >&2
    exit 2
fi
# A copy of the checkout and its build that the user owns, wherever the checkout lies (root's
# home is closed to others), with the test lists pointed at the copy.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir "$work/tree"
tar -C "$root" --exclude='./build*' -cf - . | tar -C "$work/tree" -xf -
cp -a "$build" "$work/build"
find "$work/build" -name CTestTestfile.cmake -exec sed -i "s|$build|$work/build|g; s|$root|$work/tree|g" {} +
mkdir -m 700 "$work/run"
chown -R "$user" "$work"
echo "== the tests as $user"
runuser -u "$user" -- env HOME="$work" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen \
    ctest --test-dir "$work/build" --output-on-failure --timeout 300
