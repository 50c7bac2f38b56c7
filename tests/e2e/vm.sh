#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Inside the virtual PC of scripts/test-vm.sh, as root: the program on the guest's own serial
# drivers, driven under Xvfb, the simulated device on the host's end of each port.
#   uart: a 16550 as port 1; then the FTDI adapter as port 1 the way a user makes it one, a
#         second program refused, and the adapter pulled (while a query waits, and idle) and
#         put back.
#   none: no UART behind /dev/ttyS0, with the adapter and without: the start-up box only.
# The host does what only it can when asked in the run's folder WORK: ask.N holds pull, plug,
# pull-on-frame or stty (it reports its end's settings); done.N says it is done.
# From the host: BUILD, WORK, POSITIONS. A read of the box takes seconds here, longer than
# some outcomes stay: those may go unseen, so long as what is seen comes in order.
set -uo pipefail
here=$(dirname "$0")
logs=$WORK missed_ok=1
# fail, die, await, click, read_box, check, check_table
. "$here/drive.sh"
# How a user makes the adapter port 1: the command beside the program.
port1=$BUILD/tq5bus-port1
eval "$POSITIONS"
echo "guest: $(. /etc/os-release && echo "$PRETTY_NAME"), Qt $(qtpaths6 --qt-query QT_VERSION)"
export XDG_RUNTIME_DIR=/tmp/xdg QT_QPA_PLATFORM=xcb HOME=/root

asked=0
host() {
    echo "$1" >"$WORK/ask.tmp" && mv "$WORK/ask.tmp" "$WORK/ask.$((++asked))"
    await 30 test -e "$WORK/done.$asked" || die "the host did not $1"
}

Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>"$WORK/display" 2>"$WORK/xvfb.log" &
await 60 test -s "$WORK/display" || die "Xvfb did not start"
export DISPLAY=:$(cat "$WORK/display")

find_window() { win=$(xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' 2>/dev/null | head -1); }
start() { # command...: the program, its window found
    "$@" >"$WORK/program.log" 2>&1 &
    program=$!
    await 60 find_window || die "no window appeared: $(cat "$WORK/program.log")"
    timeout 5 xdotool windowfocus --sync "$win" || die "the window took no focus"
}
shows() { # name text: the box shows TEXT (a prefix) within 20 s
    local end=$((SECONDS + 20)) shown=()
    while [ $SECONDS -le $end ]; do
        read_box || continue
        [ "${shown[*]: -1}" = "$box" ] || shown+=("$box")
        [[ $box != "$2"* ]] || { echo "ok: $1: ${shown[*]@Q}" && return; }
    done
    fail "$1: ${shown[*]@Q}"
}
press() { click $txt_empfangen key --delay 0 ctrl+a x && click $cmd_abfragen; }

uart() {
    log=$WORK/uart.log
    start "$BUILD/tq5bus"
    local settings=" $(stty -F /dev/ttyS0 -a | tr '\n;' '  ') "
    [[ $settings == *" speed 9600 baud "*" -parenb "*" cs8 "*" -cstopb "* ]] &&
        echo "ok: the 16550 while the program holds it: 9600 baud, -parenb cs8 -cstopb" ||
        fail "the 16550's settings while the program holds it: $settings"
    host stty
    check_table "$here/queries.table"
    # Every byte of the frames and answers, once, through the UART as its driver counts them.
    local counts=" $(grep '^0:' /proc/tty/driver/serial) " sent got
    sent=$(grep ' RX ' "$log" | grep -o '\[[0-9A-F ]*\]$' | tr -d '[]' | wc -w)
    got=$(grep ' TX ' "$log" | grep -o '\[[0-9A-F ]*\]$' | tr -d '[]' | wc -w)
    [[ $counts == *" tx:$sent rx:$got "* ]] && echo "ok: through the 16550: $sent bytes out, $got in" ||
        fail "the 16550 counted ${counts}, the device $sent bytes in and $got out"
    kill "$program" && wait "$program"

    log=$WORK/usb.log
    await 30 test -c /dev/ttyUSB0 || die "no /dev/ttyUSB0"
    echo "/dev/ttyUSB0: $(basename "$(readlink /sys/class/tty/ttyUSB0/device/driver)")"
    start "$port1" /dev/ttyUSB0
    check_table "$here/queries.table"

    # Pulled as the next frame reaches the device, while its query waits; then while idle.
    local lost='Fehler : Port 1 getrennt: ' pull stat t0 used
    for pull in pull-on-frame pull; do
        host $pull
        [ $pull = pull ] || { click $txt_senden key ctrl+a BackSpace type SILENT && press; }
        shows "pulled ($pull)" "$lost"
        await 30 test ! -e /dev/ttyUSB0 || fail "the adapter stayed"
        # Its CPU time over 2 s, in % of one core: reported, and well under half a core.
        stat=/proc/$(pidof tq5bus)/stat
        t0=$(awk '{print $14 + $15}' "$stat") && sleep 2
        used=$((($(awk '{print $14 + $15}' "$stat") - t0) * 100 / $(getconf CLK_TCK) / 2))
        echo "the program's CPU over 2 s after the loss: $used % of a core"
        [ "$used" -lt 50 ] || fail "the program spins after the loss"
        # Well after a timeout would have come: the loss is still shown.
        read_box && [[ $box == "$lost"* ]] || fail "the loss text gave way to '$box'"
        press
        shows "a press while it is out" 'Fehler : Port 1 (/dev/ttyS0) ist nicht vorhanden'
        host plug
        await 30 test -c /dev/ttyUSB0 || die "the adapter did not come back"
        check "the first query after it is back" G01K01P00= "47 30 31 4B 30 31 50 30 30 3D 34 31 03" "{ACK}"
    done
    kill "$program" && wait "$program"
}

# The start-up box: its text into box; the window never shown; status 1.
startup_box() { # what the box must hold besides its first line...
    # Traced: listing the other ports must open none of them, only port 1 itself.
    start strace -f -qq -e trace=openat -o "$WORK/openat.log" "$BUILD/tq5bus"
    local windows want status first='^Fehler [0-9]+: An Port 1 \(/dev/ttyS0\) ist keine Hardware vorhanden\.$'
    windows=$(xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' | wc -l)
    # Its text is selectable, as the reply box's is: a click into it, select all, copy.
    txt_empfangen='100 30' read_box || die "nothing could be copied from the start-up box"
    [[ ${box%%$'\n'*} =~ $first ]] || fail "the start-up box's first line: ${box%%$'\n'*}"
    for want in "$@"; do
        [[ $box == *"$want"* ]] || fail "the start-up box lacks '$want': ${box@Q}"
    done
    xdotool key Return
    timeout 20 tail --pid "$program" -f /dev/null || kill "$program"
    wait "$program"
    status=$?
    [ "$windows" = 1 ] && [ "$status" = 1 ] && echo "ok: the start-up box: ${box@Q}" ||
        fail "start-up: $windows windows, status $status"
    opened=$(grep -o '"/dev/ttyS[0-9]*"' "$WORK/openat.log" | sort -u | xargs)
    [ "$opened" = /dev/ttyS0 ] || fail "start-up opened $opened, not port 1 alone"
}

none() {
    echo "port 1: $(grep '^0:' /proc/tty/driver/serial)"
    await 30 test -c /dev/ttyUSB0 || die "no /dev/ttyUSB0"
    startup_box $'\n  /dev/ttyUSB0 – QEMU USB SERIAL\n' 'tq5bus-port1 /dev/ttyUSB0'
    host pull
    await 30 test ! -e /dev/ttyUSB0 || fail "the adapter stayed"
    startup_box 'keine andere serielle Schnittstelle'
}

"$1"
[ $failures -eq 0 ] || give_up
echo "all checks in the guest passed ($1)"
