#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real program end to end: tq5bus under Xvfb, driven with mouse and keyboard, started by
# tq5bus-port1 with tq5sim standing in for port 1 and answering each command text its own way.
# Checks both ends: the frame the device received and the texts the reply box shows; and the
# start-up box for a port 1 with nothing behind it, and tq5bus-port1's lock. Every
# wait is bounded. Exit 77 (skipped) with the reason when it cannot run here.
# usage: e2e.sh TQ5BUS-PORT1 TQ5SIM LAYOUT_PROBE   (the tq5bus beside TQ5BUS-PORT1 is tested)
set -uo pipefail
# Runs here are the caller's own, not made on behalf of someone through sudo.
unset SUDO_UID SUDO_GID PKEXEC_UID
as_port1=$1 sim=$2 probe=$3
bus=$(dirname "$as_port1")/tq5bus
here=$(dirname "$0")
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

# A display of its own; the server picks a free number itself, so parallel runs do not collide.
# Without -noreset it resets when its last client leaves, and drops one connecting meanwhile.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
await 10 test -s "$work/display" || die "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
unset XAUTHORITY

# The device the way a user starts it: DEVICE alone, locked under its own name while it runs.
start_device() { # log
    "$sim" --rules "$here/device.rules" --answer silence --gap 10 >"$1" 2>&1 &
    device_pid=$! && pids+=($!)
    await 5 grep -qs '^PTY ' "$1" || die "the device printed no PTY line"
    pty=$(sed -n '1s/^PTY //p' "$1")
    name=${pty#/dev/}
    lock=/run/lock/LCK..${name//\//_}
}
find_window() { win=$(xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' | head -1); }
start_program() {
    "$as_port1" "$pty" >>"$work/program.log" 2>&1 &
    runner=$! && pids+=($!)
    await 10 find_window || die "no window appeared"
    program=$(pgrep -P "$runner")
}
log=$work/device.log
# The program's trace, in which the checks follow the reply box (drive.sh, settled).
export TQ5_TRACE_TICKS=$work/ticks.log trace=$work/ticks.log
start_device "$log"
# No display to show the window on: a German word for the user and status 1, not Qt's abort.
DISPLAY=:0.999 timeout 20 "$as_port1" "$pty" "$bus" 2>"$work/nodisplay.log"
status=$?
[ $status -eq 1 ] && grep -q "keine Anzeige erreichbar" "$work/nodisplay.log" ||
    fail "without a display: status $status, $(tail -1 "$work/nodisplay.log")"

start_program
timeout 5 xdotool windowfocus --sync "$win" || die "the window took no focus"

# Typed text stays ASCII: xdotool remaps the keyboard for other characters, which races.
check_table "$here/queries.table"

# A run is stopped: the lock goes, and so does the program. (check_scripts sees the lock go when
# the command ends by itself.)
kill "$runner"
await 5 test ! -e "$lock" || fail "the lock outlived a stopped run"
await 5 test ! -d "/proc/$program" || fail "the program outlived a stopped run"
kill "$device_pid"
wait "$device_pid" || fail "the device ended with $? on SIGTERM"
grep -q ' stopped by SIGTERM$' "$log" || fail "the device did not log its stop"

# The device hangs up while the program idles, as a pulled adapter does: the loss shows at once
# and costs no CPU afterwards (some Qt versions leave a hung-up line's notifier firing).
start_device "$work/hangup.log"
start_program
timeout 5 xdotool windowfocus --sync "$win" || die "the window took no focus"
kill "$device_pid"
lost='Fehler : Port 1 getrennt: '
shows_loss() { read_box && [[ $box == "$lost"* ]]; }
await 10 shows_loss && echo "ok: a hang-up shows '$box'" || fail "a hang-up: the box shows '${box:-}'"
stat=/proc/$program/stat
t0=$(awk '{print $14 + $15}' "$stat") && sleep 2
used=$((($(awk '{print $14 + $15}' "$stat") - t0) * 100 / $(getconf CLK_TCK) / 2))
echo "the program's CPU over 2 s after the hang-up: $used % of a core"
[ "$used" -lt 10 ] || fail "the program spins after a hang-up ($used % of a core)"
kill "$runner"
await 5 test ! -d "/proc/$program" || fail "the program outlived a stopped run"

# Port 1 is there but nothing answers behind it (EIO), as on a PC with no UART behind ttyS0: a
# pseudo-terminal bound over it, its device gone before the program starts.
start_device "$work/gone.log"
# shellcheck disable=SC2016 # expanded by the inner shell
"$as_port1" "$pty" sh -c ': >"$2"; while [ -e "$0" ]; do sleep 0.02; done; exec "$1"' \
    "$pty" "$bus" "$work/bound" >"$work/nohardware.log" 2>&1 &
runner=$! && pids+=($!)
await 10 test -e "$work/bound" || die "the pseudo-terminal was not bound over port 1"
kill "$device_pid"
await 10 find_window || die "no start-up box appeared"
timeout 5 xdotool windowfocus --sync "$win" || fail "the start-up box took no focus"
# The box's text, as the program also writes it to a terminal that started it.
await 5 grep -q 'Systemmeldung' "$work/nohardware.log"
box=$(sed -n '/^TQ5-Bus-Protokoll: /,$p' "$work/nohardware.log" | sed '1s/^TQ5-Bus-Protokoll: //')
# Then the machine's other ports, if any, and the command that makes one port 1.
want="^Fehler [0-9]+: An Port 1 \\(/dev/ttyS0\\) ist keine Hardware vorhanden\\.
Systemmeldung: Input/output error

.*
  [^ ]*tq5bus-port1 [^ ]+$"
[[ $box =~ $want ]] && echo "ok: the start-up box for a port 1 with no hardware" ||
    fail "the start-up box for a port 1 with no hardware: ${box@Q}"
# The key's release goes to a box already closed.
xdotool key --window "$win" Return 2>/dev/null
wait "$runner"
status=$?
[ $status -eq 1 ] || fail "a port 1 with no hardware: status $status, expected 1"

[ $failures -eq 0 ] || give_up
echo "all end-to-end checks passed"
