#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real program end to end: tq5bus under Xvfb, driven with mouse and keyboard, with tq5sim
# standing in for port 1 and answering each command text its own way. Checks both ends: the
# frame the device received and the texts the reply box shows. Every wait is bounded. Exit 77
# (skipped) with the reason when it cannot run here.
# usage: e2e.sh TQ5BUS TQ5SIM LAYOUT_PROBE
set -uo pipefail
bus=$1 sim=$2 probe=$3
here=$(dirname "$0")
as_port1=$(cd "$here/../.." && pwd)/scripts/as-port1.sh
# fail, die, await, click, read_box, check, check_table
. "$here/drive.sh"

for tool in Xvfb xdotool xclip; do
    command -v "$tool" >/dev/null ||
        { echo "SKIP: $tool is missing (scripts/deps.sh xvfb xdotool xclip installs it)"; exit 77; }
done
reason=$("$as_port1" --check 2>&1) || { echo "SKIP: $reason"; exit 77; }

work=$(mktemp -d)
logs=$work
export XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=xcb
pids=()
cleanup() {
    kill "${pids[@]}" 2>/dev/null
    wait
    rm -rf "$work"
}
trap cleanup EXIT
# Control centres in the window, from the window itself: txt_senden='124 17' and so on.
positions=$("$probe" 2>"$work/probe.log") || die "layout_probe failed"
eval "$positions"

# No display to show the window on: a German word for the user and status 1, not Qt's abort.
status=0
DISPLAY=:0.999 timeout 20 "$as_port1" /dev/null "$bus" 2>"$work/nodisplay.log" || status=$?
[ $status -eq 1 ] && grep -q "keine Anzeige erreichbar" "$work/nodisplay.log" ||
    fail "without a display: status $status, $(tail -1 "$work/nodisplay.log")"

# A display of its own; the server picks a free number itself, so parallel runs do not collide.
# Without -noreset it resets when its last client leaves, and drops one connecting meanwhile.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
await 10 test -s "$work/display" || die "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
unset XAUTHORITY

log=$work/device.log
"$sim" --rules "$here/device.rules" --answer silence --gap 10 >"$log" 2>&1 &
device_pid=$!
pids+=($!)
await 5 grep -q '^PTY ' "$log" || die "the device printed no PTY line"
timeout -k 2 120 "$as_port1" "$(sed -n '1s/^PTY //p' "$log")" "$bus" >"$work/program.log" 2>&1 &
program_pid=$!
pids+=($!)
find_window() { win=$(xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' | head -1); }
await 10 find_window || die "no window appeared"
timeout 5 xdotool windowfocus --sync "$win" || die "the window took no focus"

# Typed text stays ASCII: xdotool remaps the keyboard for other characters, which races.
check_table "$here/queries.table"

kill "$program_pid"
wait "$program_pid"
kill "$device_pid"
wait "$device_pid" || fail "the device ended with $? on SIGTERM"
grep -q ' stopped by SIGTERM$' "$log" || fail "the device did not log its stop"
[ $failures -eq 0 ] || give_up
echo "all end-to-end checks passed"
