#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages tq5bus and tq5bus-sim into build-deb/ (DEB_BUILD_DIR to change it), with
# the compiler and linker flags Debian's own packages get, and prints their paths. Only what the
# packages hold is built, not the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only the packages' paths go to standard output.
scripts/deps.sh g++ make cmake qt6-base-dev qt6-serialport-dev qt6-translations-l10n dpkg-dev file >&2
build=${DEB_BUILD_DIR:-build-deb}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" &&
    cmake --build "$build" -j"$(nproc)" --target tq5bus tq5sim icons package_files &&
    rm -f "$build"/*.deb && (cd "$build" && cpack -G DEB); } >"$log" 2>&1; then
    cat "$log" >&2
    echo "scripts/package.sh: making the packages failed; the output is above" >&2
    exit 1
fi
ls "$build"/*.deb
