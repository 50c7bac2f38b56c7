#!/usr/bin/env bash
# The real program end to end: tq5bus under Xvfb, driven with mouse and keyboard, with tq5sim
# standing in for port 1. Checks both ends: the frame the device received and what the reply
# box shows. Every wait is bounded. Exit 77 (skipped) with the reason when it cannot run here.
# usage: e2e.sh TQ5BUS TQ5SIM
set -uo pipefail
bus=$1
sim=$2
as_port1=$(cd "$(dirname "$0")/../.." && pwd)/scripts/as-port1.sh

skip() {
    echo "SKIP: $*"
    exit 77
}
for tool in Xvfb xdotool xclip; do
    command -v "$tool" >/dev/null ||
        skip "$tool is missing (scripts/deps.sh xvfb xdotool xclip installs it)"
done
reason=$("$as_port1" --check 2>&1) || skip "$reason"

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=xcb
failures=0
xvfb_pid=
device_pid=
program_pid=
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
    [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait
    rm -rf "$work"
}
trap cleanup EXIT

# A display of its own; the server picks a free number itself, so parallel runs do not collide.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
if [ ! -s "$work/display" ]; then
    echo "FAIL: Xvfb did not start"
    cat "$work/xvfb.log"
    exit 1
fi
export DISPLAY=:$(cat "$work/display")
unset XAUTHORITY

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
die() {
    echo "FAIL: $*"
    echo "--- device log"; cat "$log"
    echo "--- program output"; cat "$program_log" 2>/dev/null
    exit 1
}

# Control centres in the window, in pixels.
senden=(124 17)
empfangen=(124 41)
abfragen=(124 68)

session=0
start() { # device arguments...
    session=$((session + 1))
    log=$work/device$session.log
    program_log=$work/program$session.log
    "$sim" "$@" >"$log" 2>&1 &
    device_pid=$!
    local pty=
    for _ in $(seq 50); do
        pty=$(sed -n '1s/^PTY //p' "$log")
        [ -n "$pty" ] && break
        sleep 0.1
    done
    [ -n "$pty" ] || die "the device printed no PTY line"
    timeout -k 2 120 "$as_port1" "$pty" "$bus" >"$program_log" 2>&1 &
    program_pid=$!
    win=
    for _ in $(seq 100); do
        win=$(xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' 2>/dev/null | head -1)
        [ -n "$win" ] && break
        sleep 0.1
    done
    [ -n "$win" ] || die "no window appeared"
    timeout 5 xdotool windowfocus --sync "$win" || die "the window took no focus"
}

stop() {
    kill "$program_pid"
    wait "$program_pid"
    program_pid=
    # The server drops the window a moment after the program has gone; the next session must
    # not find it.
    for _ in $(seq 50); do
        xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' >/dev/null 2>&1 || break
        sleep 0.1
    done
    kill "$device_pid"
    wait "$device_pid"
    local status=$?
    device_pid=
    [ $status -eq 0 ] || fail "the device ended with $status on SIGTERM"
    grep -q ' stopped by SIGTERM$' "$log" || fail "the device did not log its stop"
}

# xdotool's own click waits 100 ms between press and release; a bare press and release does not.
click() { xdotool mousemove --window "$win" "$1" "$2" mousedown 1 mouseup 1; }

# The reply box's text, copied as a user would: click into it, select all, copy. The clipboard
# first gets a text of ours, and the read waits until the program has taken it over: the X
# server may answer the clipboard request before it has passed on the keys. Under load a copy
# now and then never arrives; the keys are then pressed again.
unread="e2e: nothing copied yet"
reply() {
    printf '%s' "$unread" | xclip -i -selection clipboard >/dev/null 2>&1
    local text=$unread try
    for try in 1 2 3; do
        xdotool mousemove --window "$win" "${empfangen[@]}" mousedown 1 mouseup 1 \
            key --delay 0 ctrl+a ctrl+c
        for _ in $(seq 50); do
            text=$(timeout 5 xclip -o -selection clipboard 2>/dev/null)
            [ "$text" != "$unread" ] && break 2
            sleep 0.02
        done
        echo "note: copy $try from the reply box did not arrive" >&2
    done
    printf '%s' "$text"
}

# Types a mark of this step into the reply box, so an outcome shows as a change of it.
mark() {
    marker="step $1"
    click "${empfangen[@]}"
    xdotool key ctrl+a type "$marker"
    local got
    got=$(reply)
    [ "$got" = "$marker" ] || die "the reply box did not take the mark '$marker': '$got'"
}

command_text() {
    click "${senden[@]}"
    xdotool key ctrl+a BackSpace type "$1"
}

# Presses "Abfragen" and collects each different text the box shows until `last` shows up.
# The box is read some tens of milliseconds apart: a short-lived outcome can slip through,
# which the caller sees as a missing text.
query() { # last
    shown=()
    rx_before=$(grep -c ' RX ' "$log")
    click "${abfragen[@]}"
    local text previous=$marker
    for _ in $(seq 100); do
        text=$(reply)
        if [ "$text" != "$previous" ]; then
            shown+=("$text")
            previous=$text
        fi
        [ "$text" = "$1" ] && return 0
    done
    return 1
}

expect_received() { # hex bytes
    local rx
    rx=$(grep ' RX ' "$log" | tail -n +$((rx_before + 1)) | sed 's/.*\[\(.*\)\]$/\1/')
    [ "$rx" = "$1" ] || fail "$name: the device received [$rx], expected [$1]"
}

# One query: the command text (empty: leave it), the device's bytes, then what the box must
# show in order. An outcome that slips between two reads is retried a few times.
step=0
check() { # name text hex shown...
    name=$1
    local text=$2 hex=$3
    shift 3
    local want=("$@") try
    [ -n "$text" ] && command_text "$text"
    for try in 1 2 3 4 5; do
        step=$((step + 1))
        mark "$step"
        if ! query "${want[-1]}"; then
            fail "$name: the box shows '${shown[*]: -1}' after '${shown[*]}', expected '${want[*]}'"
            return
        fi
        expect_received "$hex"
        [ "${shown[*]}" = "${want[*]}" ] && { echo "ok: $name"; return; }
        [ ${#shown[@]} -lt ${#want[@]} ] || break
        echo "retry: $name: saw only '${shown[*]}'"
    done
    fail "$name: the box showed '${shown[*]}', expected '${want[*]}'"
}

default_frame="47 30 31 4B 30 31 50 30 30 3D 34 31 03"

# A plain device: answers ACK, a little late.
start --answer ack --delay 50
check "ACK to the default command" "" "$default_frame" "{ACK}"
stop

# A device with rules; what no rule names gets silence. Its characters come 2 ms apart.
cat >"$work/device.rules" <<'EOF'
G01K01P00= reply OK
BAD bad-checksum OK
NAK nak
ECHO echo
GRUSS reply Grüß Gott
EOF
start --rules "$work/device.rules" --answer silence --gap 2
check "good reply" "G01K01P00=" "$default_frame" "OK9A{ETX}"
check "wrong checksum, then the timeout" "BAD" "42 41 44 43 37 03" \
    "Prüfsummenfehler" "Fehler : Timeout"
check "silence" "SILENT" "53 49 4C 45 4E 54 43 46 03" "Fehler : Timeout"
check "NAK" "NAK" "4E 41 4B 44 41 03" "{NAK}"
check "echo" "ECHO" "45 43 48 4F 31 46 03" "ECHO1F{ETX}"
# Typed text stays ASCII: xdotool remaps the keyboard for other characters, which races.
check "a Windows-1252 reply" "GRUSS" "47 52 55 53 53 39 34 03" "Grüß Gott52{ETX}"
stop

if [ $failures -ne 0 ]; then
    for f in "$work"/*.log; do
        echo "--- $(basename "$f")"
        cat "$f"
    done
    echo "$failures failed"
    exit 1
fi
echo "all end-to-end checks passed"
