#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the program and photographs its real window under Xvfb at 96 dpi, with the simulated
# device (tq5sim, answering every frame with the good reply "OK") bound over port 1 in a private
# mount namespace (scripts/as-port1.sh; needs root):
#   docs/window.png        at rest, as it opens
#   docs/window-reply.png  after "Abfragen" was clicked and the device answered
#   docs/icon.png          the window's icon, 32 x 32 and 16 x 16, enlarged eight times
#   docs/error-in-use.png  the start-up error a second copy reports while the first holds port 1
#   docs/error-no-hardware.png  the start-up error for a port 1 with nothing behind it
#   docs/window-windows.png  the Windows build as it opens under wine, where Qt for Windows is at
#                          hand (scripts/test-windows.sh takes it while it tries that build)
#   docs/error-windows.png   its start-up message there, with COM1 absent and COM3 named
# OUT_DIR to write elsewhere, BUILD_DIR as for scripts/build.sh.
set -euo pipefail
# Its pictures come from a display of its own: run as root under sudo too, the devices being root's.
unset SUDO_UID SUDO_GID PKEXEC_UID
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=${OUT_DIR:-docs}

if [ "${1:-}" != --in-xvfb ]; then
    scripts/deps.sh xvfb xauth imagemagick xdotool x11-utils
    scripts/build.sh
    mkdir -p "$out"
    status=0
    TQ5_WINDOW_PICTURE=$(realpath "$out")/window-windows.png \
        TQ5_BOX_PICTURE=$(realpath "$out")/error-windows.png scripts/test-windows.sh || status=$?
    [ $status -eq 0 ] || [ $status -eq 77 ] || exit $status
    exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" --in-xvfb
fi

tmp=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$tmp

"$build/tq5sim" --answer reply --text OK >"$tmp/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    grep -q '^PTY ' "$tmp/sim.log" && break
    sleep 0.05
done
pty=$(sed -n 's/^PTY //p' "$tmp/sim.log" | head -n 1)
[ -n "$pty" ] || { echo "tq5sim gave no pseudo-terminal:" >&2; cat "$tmp/sim.log" >&2; exit 1; }

scripts/as-port1.sh "$pty" "$build/tq5bus" >"$tmp/app.log" 2>&1 &
app=$!
pids+=($app)
win=$(timeout 20 xdotool search --sync --onlyvisible --name '^TQ5-Bus-Protokoll$' | head -n 1)
[ -n "$win" ] || { echo "the window did not appear:" >&2; cat "$tmp/app.log" >&2; exit 1; }

eval "$(xdotool getwindowgeometry --shell "$win")"
echo "window $WIDTH x $HEIGHT at $X,$Y on a $(xdpyinfo | sed -n 's/ *dimensions: *\([0-9x]*\) .*/\1/p') screen"
echo "icons the window offers: $(xprop -id "$win" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | tr '\n' ' ')"

sleep 0.5 # first paint
import -window "$win" "$out/window.png"

# Click "Abfragen" (client coordinates 72,56 to 177,81), then give the reply time to arrive.
xdotool mousemove --window "$win" 124 68 click 1
for _ in $(seq 40); do
    grep -q 'TX reply' "$tmp/sim.log" && break
    sleep 0.05
done
sleep 0.5
xdotool mousemove 0 0 # no hover highlight in the picture
sleep 0.2
import -window "$win" "$out/window-reply.png"

# A second copy in the first one's mount namespace, so it meets that copy's lock on port 1.
nsenter -t "$app" -m -- "$(realpath "$build/tq5bus")" >"$tmp/second.log" 2>&1 &
second=$!
pids+=($second)
# The start-up error box beside the window, photographed and closed: what it is, its log, the PNG.
photograph_box() {
    local box=
    for _ in $(seq 200); do
        box=$(xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' | grep -vx "$win" | head -n 1) || true
        [ -n "$box" ] && break
        sleep 0.05
    done
    [ -n "$box" ] || { echo "no start-up error for $1:" >&2; cat "$2" >&2; exit 1; }
    sleep 0.5
    import -window "$box" "$out/$3"
    xdotool windowfocus --sync "$box" key Return 2>/dev/null
}
photograph_box "a second copy" "$tmp/second.log" error-in-use.png
status=0
wait "$second" || status=$?
echo "the second copy ended with status $status"

# Port 1 with nothing behind it: a pseudo-terminal bound over it, its device gone first.
"$build/tq5sim" >"$tmp/gone.log" 2>&1 &
gone=$!
pids+=($gone)
for _ in $(seq 100); do grep -qs '^PTY ' "$tmp/gone.log" && break; sleep 0.05; done
pty=$(sed -n 's/^PTY //p' "$tmp/gone.log")
# The build on the search path, as an installed program is: the box names the bare command.
# shellcheck disable=SC2016 # expanded by the inner shell
PATH=$(realpath "$build"):$PATH scripts/as-port1.sh "$pty" sh -c ': >"$2"; while [ -e "$0" ]; do sleep 0.02; done; exec "$1"' \
    "$pty" "$(realpath "$build/tq5bus")" "$tmp/bound" >"$tmp/nohardware.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$tmp/bound" ] && break; sleep 0.05; done
kill "$gone"
photograph_box "a port 1 with nothing behind it" "$tmp/nohardware.log" error-no-hardware.png

# Both sizes on a desktop-blue ground, each pixel an 8 x 8 block.
convert -background '#3a6ea5' "$build/ui/tq5bus-32.png" -flatten -scale 800% "$tmp/icon32.png"
convert -background '#3a6ea5' "$build/ui/tq5bus-16.png" -flatten -scale 800% "$tmp/icon16.png"
convert "$tmp/icon32.png" -background white -gravity east -splice 16x0 "$tmp/icon16.png" \
    -gravity north +append "$out/icon.png"

echo "device log:"
sed 's/^/  /' "$tmp/sim.log"
ls -l "$out/window.png" "$out/window-reply.png" "$out/icon.png" "$out/error-in-use.png" \
    "$out/error-no-hardware.png"
