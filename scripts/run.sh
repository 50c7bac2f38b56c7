#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds and starts the program on the machine's port 1, or, given a
# serial device (scripts/run.sh /dev/ttyUSB0), with that device standing in for port 1: bound
# over it in a private mount namespace (scripts/as-port1.sh), the real port 1 untouched, and
# the device locked against other programs while it runs.
set -euo pipefail
me=scripts/run.sh
fail() { echo "$me: $*" >&2 && exit 1; }
[ $# -le 1 ] || { echo "usage: $0 [DEVICE]" >&2 && exit 2; }
if [ $# -eq 1 ]; then
    # Before leaving the caller's folder, which a relative name is read from.
    [ -e "$1" ] || fail "$1 does not exist (an adapter shows up as /dev/ttyUSB0 or /dev/ttyACM0 when plugged in)"
    device=$(realpath "$1")
    [ -c "$device" ] || fail "$1 is not a serial device (not a character device)"
    { [ -r "$device" ] && [ -w "$device" ]; } ||
        fail "you may not open $1; join its group and log in again: su -c 'adduser $(id -un) $(stat -c %G "$device")'"
fi
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ $# -eq 0 ]; then
    scripts/build.sh
    exec "$build/tq5bus"
fi
why=$(scripts/as-port1.sh --check 2>&1) || fail "${why#*: }"
scripts/build.sh
exec scripts/as-port1.sh --lock "$device" "$build/tq5bus"
