#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Inside the virtual PC of scripts/test-vm.sh, as root: the program on the guest's own serial
# drivers, driven under Xvfb, the simulated device on the host's end of each port.
#   uart: a 16550 as port 1; then the FTDI adapter as port 1 the way a user makes it one, a
#         second program refused, and the adapter pulled (while a query waits, and idle) and
#         put back.
#   none: no UART behind /dev/ttyS0, with the adapter and without: the start-up box only.
# The host does what only it can when asked in the run's folder WORK: ask.N holds pull, plug,
# pull-on-frame or stty; done.N says it is done, and stty's answer is in reply.
# From the host: BUILD, WORK, POSITIONS. A read of the box takes seconds here, longer than
# some outcomes stay: those may go unseen, so long as what is seen comes in order.
set -uo pipefail
here=$(dirname "$0")
logs=$WORK missed_ok=1
# fail, die, await, click, read_box, check, check_table
. "$here/drive.sh"
bus=$BUILD/tq5bus
# How a user makes the adapter port 1: the command beside the program.
port1=$BUILD/tq5bus-port1
eval "$POSITIONS"
export XDG_RUNTIME_DIR=/tmp/xdg QT_QPA_PLATFORM=xcb HOME=/root

asked=0
host() {
    asked=$((asked + 1))
    echo "$1" >"$WORK/ask.tmp" && mv "$WORK/ask.tmp" "$WORK/ask.$asked"
    await 30 test -e "$WORK/done.$asked" || die "the host did not $1"
}
adapter_is() { # there|gone
    if [ "$1" = there ]; then test -c /dev/ttyUSB0; else test ! -e /dev/ttyUSB0; fi
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
stop() {
    kill "$program"
    wait "$program"
}
# The box shows TEXT (a prefix) within 20 s; the texts shown meanwhile are in shown.
shows() {
    local end=$((SECONDS + 20))
    shown=()
    while [ $SECONDS -le $end ]; do
        read_box || continue
        [ ${#shown[@]} -gt 0 ] && [ "${shown[-1]}" = "$box" ] || shown+=("$box")
        [[ $box != "$1"* ]] || return 0
    done
    return 1
}
press() { click $txt_empfangen key --delay 0 ctrl+a x && click $cmd_abfragen; }
ended() { # the program's exit status into status, none when it has not ended within 20 s
    if timeout 20 tail --pid "$program" -f /dev/null; then
        status=0
        wait "$program" || status=$?
    else
        status=none
        kill "$program"
    fi
}
# The CPU time the program spends over 2 s, in % of one core.
cpu() {
    local pid t0 t1
    pid=$(pidof tq5bus) || { echo 100 && return; }
    t0=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    sleep 2
    t1=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    echo $(((t1 - t0) * 100 / $(getconf CLK_TCK) / 2))
}

uart() {
    log=$WORK/uart.log
    echo "port 1: $(grep '^0:' /proc/tty/driver/serial)"
    start "$bus"
    local settings want
    settings=" $(stty -F /dev/ttyS0 -a | tr '\n' ' ') "
    for want in 'speed 9600 baud' cs8 -parenb -cstopb; do
        [[ $settings == *" $want"[\ \;]* ]] || fail "the 16550's settings lack '$want': $settings"
    done
    echo "the 16550 while the program holds it: $(grep -o 'speed [^;]*' <<<"$settings"), $(grep -ow -- 'cs[5-8]\|-\?parenb\|-\?cstopb' <<<"$settings" | tr '\n' ' ')"
    host stty
    echo "the host's end of it: $(head -1 "$WORK/reply")"
    check_table "$here/queries.table"
    echo "port 1 after the queries: $(grep '^0:' /proc/tty/driver/serial)"
    stop

    log=$WORK/usb.log
    await 30 adapter_is there || die "no /dev/ttyUSB0"
    echo "/dev/ttyUSB0: $(basename "$(readlink /sys/class/tty/ttyUSB0/device/driver)")"
    start "$port1" /dev/ttyUSB0
    check_table "$here/queries.table"
    local second=0
    timeout 20 "$port1" /dev/ttyUSB0 >"$WORK/second.log" 2>&1 || second=$?
    [ $second -eq 1 ] && grep -q 'is in use' "$WORK/second.log" &&
        echo "ok: a second program is refused: $(cat "$WORK/second.log")" ||
        fail "a second program: status $second, $(cat "$WORK/second.log")"

    local lost='Fehler : Port 1 getrennt: '
    host pull-on-frame
    click $txt_senden key ctrl+a BackSpace type SILENT
    press
    shows "$lost" && echo "ok: pulled while a query waits: ${shown[*]@Q}" ||
        fail "pulled while a query waits: ${shown[*]@Q}"
    await 30 adapter_is gone || fail "the adapter stayed"
    # After a timeout would have come: the loss stays shown.
    sleep 0.5
    read_box && [[ $box == "$lost"* ]] || fail "the loss text gave way to '$box'"
    local used
    used=$(cpu)
    echo "the program's CPU over 2 s after the loss: $used % of a core"
    [ "$used" -lt 50 ] || fail "the program spins after the loss"
    press
    shows 'Fehler : Port 1 (/dev/ttyS0) ist nicht vorhanden' &&
        echo "ok: a press while it is out: ${shown[-1]@Q}" ||
        fail "a press while it is out: ${shown[*]@Q}"
    host plug
    await 30 adapter_is there || die "the adapter did not come back"
    check "the first query after it is back" G01K01P00= "47 30 31 4B 30 31 50 30 30 3D 34 31 03" "{ACK}"

    host pull
    shows "$lost" && echo "ok: pulled while idle: ${shown[-1]@Q}" || fail "pulled while idle: ${shown[*]@Q}"
    await 30 adapter_is gone || fail "the adapter stayed"
    host plug
    await 30 adapter_is there || die "the adapter did not come back"
    check "the first query after it is back again" "" "47 30 31 4B 30 31 50 30 30 3D 34 31 03" "{ACK}"
    stop
}

# The start-up box: its text (selected and copied) into box; the window never shown; status 1.
startup_box() { # what the box must hold besides its first line...
    start "$bus"
    local windows
    windows=$(xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' | wc -l)
    printf '%s' "$unread" | xclip -i -selection clipboard
    # The box's text is selectable: a click into it, select all, copy.
    copy_box() {
        click 100 30 key ctrl+a ctrl+c
        sleep 0.2
        ! clipboard_is "$unread"
    }
    await 20 copy_box || die "nothing could be copied from the start-up box"
    local want first='^Fehler [0-9]+: Port 1 \(/dev/ttyS0\) hat keine Schnittstelle\.$'
    [[ ${box%%$'\n'*} =~ $first ]] || fail "the start-up box's first line: ${box%%$'\n'*}"
    for want in "$@"; do
        [[ $box == *"$want"* ]] || fail "the start-up box lacks '$want': ${box@Q}"
    done
    xdotool key Return
    ended
    [ "$windows" = 1 ] && [ "$status" = 1 ] && echo "ok: the start-up box: ${box@Q}" ||
        fail "start-up: $windows windows, status $status"
}

none() {
    echo "port 1: $(grep '^0:' /proc/tty/driver/serial)"
    await 30 adapter_is there || die "no /dev/ttyUSB0"
    startup_box $'\n  /dev/ttyUSB0' 'tq5bus-port1 /dev/ttyUSB0'
    host pull
    await 30 adapter_is gone || fail "the adapter stayed"
    startup_box 'keine andere serielle Schnittstelle'
}

"$1"
[ $failures -eq 0 ] || give_up
echo "all checks in the guest passed ($1)"
