#!/usr/bin/env bash
# Runs the built test suite again as an ordinary user (TQ5_TEST_USER, default nobody), as a
# contributor without root would: CI runs as root, and a test that passes only as root would
# otherwise go unnoticed. Run it as root, after scripts/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${BUILD_DIR:-build}")
user=${TQ5_TEST_USER:-nobody}
if [ "$(id -u)" -ne 0 ]; then
    echo "$0: run it as root; it runs the tests as $user" >&2
    exit 2
fi
if ! runuser -u "$user" -- test -x "$build/ui/tst_frm"; then
    echo "$0: $user cannot reach the build in $build; put the checkout where others can read it" >&2
    exit 1
fi
# CTest keeps its logs beside the test lists: copies the user owns, naming the same programs.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && find . -name CTestTestfile.cmake -exec cp --parents {} "$work" \;)
chown -R "$user" "$work"
echo "== the tests as $user"
runuser -u "$user" -- env HOME="$work" XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=offscreen \
    ctest --test-dir "$work" --output-on-failure --timeout 300
