#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the build needs and builds into build/ (BUILD_DIR to change it). Quiet unless
# the build fails: then its whole output is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh g++ make cmake qt6-base-dev qt6-serialport-dev qt6-translations-l10n
build=${BUILD_DIR:-build}
[ -e "$build/CMakeCache.txt" ] || echo "Building into $build/ (first time, about a minute) ..." >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" &&
    cmake --build "$build" -j"$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "scripts/build.sh: the build failed; its output is above" >&2
    exit 1
fi
