#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tries the program without hardware: installs what is missing, builds, starts the simulated
# device (tq5sim) and the real program with the device standing in for port 1, and stops the
# device when the window closes. Arguments go to the device:
#   scripts/try.sh                      answers every query with the reply "OK"
#   scripts/try.sh --answer nak         see scripts/try.sh --help for every behaviour
# The real port 1 is never touched: the device is bound over it in a private mount namespace.
# It stays in the caller's folder, where the device reads paths such as --rules from.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$root" && realpath -m "${BUILD_DIR:-build}")
me=scripts/try.sh

for arg in "$@"; do
    case $arg in
    --tty | --tty=*)
        echo "$me: the device always gets a new pseudo-terminal here; for a terminal of your own run $build/tq5sim --tty PATH" >&2
        exit 2
        ;;
    -h | --help | --help-all) # needs neither a desktop nor a namespace
        "$root/scripts/build.sh"
        exec "$build/tq5sim" "$arg"
        ;;
    esac
done
if ! why=$("$root/scripts/as-port1.sh" --check 2>&1); then
    if [ "$(id -u)" -ne 0 ] && [ -e /dev/ttyS0 ]; then
        echo "$me: binding the device over port 1 (/dev/ttyS0) needs root or an unprivileged user namespace, and this system allows you neither; run it as root: sudo $0 $*" >&2
    else
        echo "$me: ${why#*: }" >&2
    fi
    exit 1
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
    echo "$me: no desktop to show the window on (DISPLAY is not set)" >&2
    exit 1
fi

"$root/scripts/build.sh"

log=$(mktemp)
"$build/tq5sim" "$@" >"$log" &
device=$!
viewer=
# shellcheck disable=SC2317 # called by the trap
stop() {
    kill "$device" 2>/dev/null || true
    wait "$device" 2>/dev/null || true
    [ -z "$viewer" ] || wait "$viewer" 2>/dev/null || true
    rm -f "$log"
}
trap stop EXIT

pty=
for _ in $(seq 100); do
    pty=$(sed -n '1s/^PTY //p' "$log")
    [ -n "$pty" ] && break
    if ! kill -0 "$device" 2>/dev/null; then
        # --help, or arguments the device refused (it said why on stderr).
        status=0
        wait "$device" || status=$?
        cat "$log"
        exit $status
    fi
    sleep 0.05
done
[ -n "$pty" ] || { echo "$me: the device did not start" >&2; exit 1; }

# The device's log, as it goes, until the device ends.
tail -s 0.2 -n +1 -f --pid="$device" "$log" &
viewer=$!
echo "$me: the device on $pty is port 1; close the window to end"
# Under sudo or pkexec the program runs as the caller, so the device's end is theirs too.
caller=${PKEXEC_UID:-${SUDO_UID:-}}
[ "$(id -u)" -ne 0 ] || [ -z "$caller" ] || chown "$caller" "$pty"
status=0
"$root/scripts/as-port1.sh" "$pty" "$build/tq5bus" || status=$?
exit $status
