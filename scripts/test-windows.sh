#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tries the Windows build under Debian 13's wine 10: builds it here (scripts/windows.sh), then
# runs the checks in packaging/windows/tests/wine.sh in an overlay of the root that
# scripts/debian13-root.sh makes, in mount and PID namespaces of its own (as
# scripts/test-debian13.sh does), so that whatever it mounts or starts, wine's server and Xvfb
# included, ends with it. There the simulated device's pseudo-terminal is bound over the root's
# /dev/ttyS0, where wine maps COM1. Needs root; exit 77 (skipped), with the reason, where it
# cannot run here. TQ5_WINDOW_PICTURE=FILE.png also photographs the window as it opens,
# TQ5_BOX_PICTURE=FILE.png the start-up error box.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --inside ]; then
    # In the root, as its root user, the checkout and the run's folder at their own paths.
    # shellcheck source=/dev/null # the run's settings, written below
    . "$2"
    cd "$WORK"
    # Wine 10's server keeps its socket there; where it is missing, the server aborts
    # ("free(): invalid pointer") in the fallback to TMPDIR.
    mkdir -p /run/user && mkdir -m 700 "/run/user/$(id -u)"
    # A pseudo-terminal has no modem lines; wine's serial code needs them (pty_modem_lines.c).
    gcc -O2 -shared -fPIC -o modem_lines.so "$REPO/packaging/windows/tests/pty_modem_lines.c" -ldl
    # Each frame shows in its log; the characters of an answer come 10 ms apart.
    # shellcheck disable=SC2153 # BUILD comes with the settings
    "$REPO/$BUILD/tq5sim" --rules "$REPO/tests/e2e/device.rules" --answer silence --gap 10 \
        >device.log 2>&1 &
    for _ in $(seq 100); do
        grep -q '^PTY ' device.log && break
        sleep 0.05
    done
    pty=$(sed -n '1s/^PTY //p' device.log)
    [ -n "$pty" ] || { echo "tq5sim gave no pseudo-terminal:" >&2 && cat device.log >&2 && exit 1; }
    export WORK PTY=$pty DEVICE_LOG=$WORK/device.log POSITIONS QUERIES=$REPO/tests/e2e/queries.table \
        ZIP SETUP TST_PROTOCOL QT_TEST FAULTS UIA_CLIENT MODEM_LINES=$WORK/modem_lines.so \
        TQ5_WINDOW_PICTURE TQ5_BOX_PICTURE
    # Not exec'd: the checks must not inherit the device as a child they would wait for.
    status=0
    "$REPO/scripts/as-port1.sh" "$pty" "$REPO/packaging/windows/tests/wine.sh" || status=$?
    exit $status
fi

skip() { echo "SKIP: $*" && exit 77; }
if [ -z "${TQ5_QT_MINGW:-}" ] && [ ! -r ../shared/toolchains/qt-6.8.0-mingw64.tar.xz ]; then
    skip "no Qt for Windows (TQ5_QT_MINGW, or ../shared/toolchains/qt-6.8.0-mingw64.tar.xz)"
fi
[ "$(id -u)" -eq 0 ] || skip "the Debian 13 root needs root (debootstrap, mounts)"
command -v pivot_root >/dev/null || skip "pivot_root is missing (apt-get install util-linux)"
start=$SECONDS
# tq5sim and layout_probe come from the Linux build.
scripts/build.sh
files=$(scripts/windows.sh)
root=$(scripts/debian13-root.sh)
build=${BUILD_DIR:-build}
windows=${WINDOWS_BUILD_DIR:-build-windows}
qt=$(realpath "${TQ5_QT_MINGW:-$windows/qt-6.8.0-mingw64}")

# The run's folder, shared with the root.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/qt"
cp "$qt/win/bin/Qt6Test.dll" "$work/qt/"
{
    printf '%q=%q\n' REPO "$PWD" WORK "$work" BUILD "$build" POSITIONS "$(XDG_RUNTIME_DIR=$work "$build/tests/layout_probe")" \
        ZIP "$(realpath "$(grep '\.zip$' <<<"$files")")" SETUP "$(realpath "$(grep -- '-setup\.exe$' <<<"$files")")" \
        TST_PROTOCOL "$(realpath "$windows/tst_protocol.exe")" QT_TEST "$work/qt/Qt6Test.dll" \
        FAULTS "$(realpath "$windows/packaging/windows/tests/serial_faults.dll")" \
        UIA_CLIENT "$(realpath "$windows/uia_client.exe")"
    printf '%q=%q\n' TQ5_WINDOW_PICTURE "${TQ5_WINDOW_PICTURE:+$work/window.png}" \
        TQ5_BOX_PICTURE "${TQ5_BOX_PICTURE:+$work/box.png}"
} >"$work/settings"
status=0
scripts/in-debian13.sh "$root" --bind "$work" scripts/test-windows.sh --inside "$work/settings" &
tester=$!
trap 'kill "$tester" 2>/dev/null; exit 1' INT TERM
wait "$tester" || status=$?
[ ! -e "$work/window.png" ] || cp "$work/window.png" "$TQ5_WINDOW_PICTURE"
[ ! -e "$work/box.png" ] || cp "$work/box.png" "$TQ5_BOX_PICTURE"
echo "Windows under wine: $((SECONDS - start)) s, status $status"
exit $status
