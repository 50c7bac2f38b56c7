# SPDX-License-Identifier: MIT
# Sourced by the end-to-end tests: drives the program's window under X as a user would and reads
# what it shows. Expects $logs (the folder of the run's *.log files), and before a check $win (the
# window), $log (the device's log) and the control centres ($txt_senden, $txt_empfangen,
# $cmd_abfragen).

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# The logs, and out.
give_up() {
    for f in "$logs"/*.log; do echo "--- $(basename "$f")" && cat "$f"; done
    echo "$failures failed"
    exit 1
}
die() { fail "$@" && give_up; }

# Runs a command every 20 ms until it succeeds, for at most $1 seconds.
await() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -le $end ] || return 1
        sleep 0.02
    done
}

# xdotool's own click holds the button 100 ms; a bare press and release does not.
click() { # x y [more xdotool commands]
    xdotool mousemove --window "$win" "$1" "$2" mousedown 1 mouseup 1 "${@:3}"
}

# The reply box's text into $box, copied as a user would: click into it, select all, copy.
# The clipboard first holds a text of ours, so that no earlier copy can be read as this one.
# A copy is lost when an outcome clears the selection between the keys, which are then pressed
# again.
unread="e2e: nothing copied yet"
clipboard_is() {
    box=$(timeout 5 xclip -o -selection clipboard 2>/dev/null)
    [ "$box" = "$1" ]
}
read_box() {
    printf '%s' "$unread" | xclip -i -selection clipboard >/dev/null 2>&1
    await 2 clipboard_is "$unread" || return 1
    local try
    for try in {1..60}; do
        ((try % 3 == 1)) && click $txt_empfangen key --delay 0 ctrl+a ctrl+c
        clipboard_is "$unread" || [ -z "$box" ] || return 0
        sleep 0.01
    done
    return 1
}

# One query: the command text (empty: leave it), the bytes the device must receive, then the
# texts the box must show in order. The box first gets a mark, so that every outcome is a
# change of it; X delivers the keys in order, so the mark is in before the button is pressed.
# The box is read every 15 ms or so, less often under load: an outcome that slips through
# unseen is retried a few times; with missed_ok set, it is let be.
check() { # name text hex shown...
    local name=$1 text=$2 hex=$3 try rx_before rx previous
    local want=("${@:4}")
    [ -n "$text" ] && click $txt_senden key ctrl+a BackSpace type "$text"
    for try in 1 2 3 4 5; do
        rx_before=$(grep -c ' RX ' "$log")
        click $txt_empfangen key --delay 0 ctrl+a x
        click $cmd_abfragen
        shown=() previous=x
        local end=$((SECONDS + 5))
        while [ "$previous" != "${want[-1]}" ] && [ $SECONDS -le $end ]; do
            read_box || die "$name: nothing could be copied from the reply box"
            [ "$box" != "$previous" ] && shown+=("$box") previous=$box
        done
        rx=$(grep ' RX ' "$log" | tail -n +$((rx_before + 1)) | sed 's/.*\[\(.*\)\]$/\1/')
        [ "$rx" = "$hex" ] || fail "$name: the device received [$rx], expected [$hex]"
        if [ "${shown[*]}" = "${want[*]}" ]; then
            echo "ok: $name"
            return
        fi
        # The last outcomes, the earlier ones unseen.
        [ -z "${missed_ok:-}" ] || [ "${shown[*]}" != "${want[*]: -${#shown[@]}}" ] ||
            { echo "ok: $name (seen only ${shown[*]@Q})" && return; }
        [ "$previous" = "${want[-1]}" ] && [ ${#shown[@]} -lt ${#want[@]} ] || break
        echo "retry: $name: saw only '${shown[*]}'"
    done
    # Quoted, so that control characters in the box show.
    fail "$name: the box showed ${shown[*]@Q}, expected ${want[*]@Q}"
}


# check for each row of a table file: name | command text (empty: leave it) | the bytes the
# device must receive | the texts the box must show, in order. # starts a comment line.
check_table() {
    local row
    while IFS='|' read -r -a row -u 3; do
        [[ ${row[0]} == \#* ]] || check "${row[@]}"
    done 3<"$1"
}
