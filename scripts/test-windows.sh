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

# The run's folder, run/ of it shared with the root.
outer=$(mktemp -d)
trap 'rm -rf "$outer"' EXIT
work=$outer/run
mkdir -p "$work/qt" "$outer/ns"
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
# shellcheck disable=SC2016 # expanded by the inner shell
NS=$outer/ns WORK=$work LOWER=$root REPO=$PWD unshare --mount --pid --fork --kill-child --propagation private \
    bash -euo pipefail -c '
    ROOT=$NS
    mount -t tmpfs -o mode=755 t13 "$ROOT"
    mkdir "$ROOT/upper" "$ROOT/work" "$ROOT/root"
    upper=$ROOT/upper workdir=$ROOT/work ROOT=$ROOT/root
    mount -t overlay -o lowerdir="$LOWER",upperdir="$upper",workdir="$workdir" t13 "$ROOT"
    mount -t proc proc "$ROOT/proc"
    mount -t sysfs -o ro sys "$ROOT/sys"
    for d in tmp dev/shm; do mount -t tmpfs -o mode=1777 tmp "$ROOT/$d"; done
    mount -t tmpfs -o mode=755 run "$ROOT/run"
    mkdir -m 1777 "$ROOT/run/lock"
    mount -t devpts -o newinstance,ptmxmode=666,mode=620,gid=5 pts "$ROOT/dev/pts"
    mount --bind "$ROOT/dev/pts/ptmx" "$ROOT/dev/ptmx"
    for d in "$REPO" "$WORK"; do mkdir -p "$ROOT$d" && mount --bind "$d" "$ROOT$d"; done
    cd "$ROOT"
    mkdir -p .host
    pivot_root . .host
    exec chroot . /bin/sh -c "umount -l /.host && cd \"\$0\" && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb scripts/test-windows.sh --inside \"\$1\"" "$REPO" "$WORK/settings"
' &
tester=$!
trap 'kill "$tester" 2>/dev/null; exit 1' INT TERM
wait "$tester" || status=$?
[ ! -e "$work/window.png" ] || cp "$work/window.png" "$TQ5_WINDOW_PICTURE"
[ ! -e "$work/box.png" ] || cp "$work/box.png" "$TQ5_BOX_PICTURE"
echo "Windows under wine: $((SECONDS - start)) s, status $status"
exit $status
