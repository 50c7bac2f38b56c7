#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds and starts the program on the machine's port 1, or, given a
# serial device (scripts/run.sh /dev/ttyUSB0), with that device standing in for port 1 through
# tq5bus-port1 (scripts/as-port1.sh): bound over port 1 in a private mount namespace, the real
# port 1 untouched, and the device locked against other programs while it runs.
set -euo pipefail
me=scripts/run.sh
case ${1:-} in -h | --help) echo "usage: $0 [DEVICE]" && exit 0 ;; esac
[ $# -le 1 ] || { echo "usage: $0 [DEVICE]" >&2 && exit 2; }
if [ $# -eq 1 ]; then
    # Before anything is built, and before leaving the caller's folder, which a relative name
    # is read from.
    why=$("$(dirname "$0")/as-port1.sh" --check "$1" 2>&1) || { echo "$me: ${why#*: }" >&2 && exit 1; }
    device=$(realpath "$1")
fi
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
scripts/build.sh
[ $# -eq 1 ] || exec "$build/tq5bus"
exec "$build/tq5bus-port1" "$device"
