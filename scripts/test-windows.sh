#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tries the Windows build under wine: builds it (scripts/windows.sh), then runs the checks in
# packaging/windows/tests/wine.sh with the simulated device's pseudo-terminal bound over
# /dev/ttyS0 in a private mount namespace, since wine maps COM1 to /dev/ttyS0, which on Linux is
# the machine's own port 1. Exit 77 (skipped), with the reason, where it cannot run here.
# TQ5_WINDOW_PICTURE=FILE.png also photographs the window as it opens, TQ5_BOX_PICTURE=FILE.png
# the start-up error box.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${TQ5_QT_MINGW:-}" ] && [ ! -r ../shared/toolchains/qt-6.8.0-mingw64.tar.xz ]; then
    echo "SKIP: no Qt for Windows (TQ5_QT_MINGW, or ../shared/toolchains/qt-6.8.0-mingw64.tar.xz)"
    exit 77
fi
reason=$(scripts/as-port1.sh --check 2>&1) || { echo "SKIP: $reason"; exit 77; }
# wine's own fonts: without them every text is a row of boxes.
scripts/deps.sh wine fonts-wine xvfb xdotool xclip x11-utils unzip procps
# tq5sim and layout_probe come from the Linux build.
scripts/build.sh
files=$(scripts/windows.sh)
build=${BUILD_DIR:-build}
windows=${WINDOWS_BUILD_DIR:-build-windows}

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work
device=
cleanup() {
    [ -z "$device" ] || kill "$device" 2>/dev/null || true
    # Wine's server outlives a test that was killed: each prefix's own is ended.
    local reg
    for reg in "$work"/*/system.reg; do
        [ ! -e "$reg" ] || WINEPREFIX=${reg%/system.reg} TMPDIR=$work/tmp timeout 20 wineserver -k 2>/dev/null || true
    done
    wait
    rm -rf "$work"
}
trap cleanup EXIT
# Each frame shows in its log; the characters of an answer come 10 ms apart.
"$build/tq5sim" --rules tests/e2e/device.rules --answer silence --gap 10 \
    >"$work/device.log" 2>&1 &
device=$!
for _ in $(seq 100); do
    grep -q '^PTY ' "$work/device.log" && break
    sleep 0.05
done
pty=$(sed -n '1s/^PTY //p' "$work/device.log")
[ -n "$pty" ] || { echo "tq5sim gave no pseudo-terminal:" >&2 && cat "$work/device.log" >&2 && exit 1; }
positions=$("$build/tests/layout_probe")
# In the background, so that a signal to this script reaches the checks at once; they end
# their wine and Xvfb, each step of theirs bounded in time.
WORK=$work PTY=$pty DEVICE_LOG=$work/device.log POSITIONS=$positions QUERIES=tests/e2e/queries.table \
    ZIP=$(grep '\.zip$' <<<"$files") SETUP=$(grep -- '-setup\.exe$' <<<"$files") TST_PROTOCOL=$windows/tst_protocol.exe \
    SHIM=$windows/packaging/windows/tests/wine_serial_shim.dll UIA_CLIENT=$windows/uia_client.exe \
    QT_WIN=$(realpath "${TQ5_QT_MINGW:-$windows/qt-6.8.0-mingw64}")/win \
    scripts/as-port1.sh "$pty" packaging/windows/tests/wine.sh &
tester=$!
trap 'kill "$tester" 2>/dev/null; exit 1' INT TERM
status=0
wait "$tester" || status=$?
exit $status
