# SPDX-License-Identifier: MIT
# Sourced by the end-to-end tests: drives the program's window under X as a user would and reads
# what it shows. Expects $logs (the folder of the run's *.log files), and before a check $win (the
# window), $log (the device's log) and the control centres ($txt_senden, $txt_empfangen,
# $cmd_abfragen); $trace, if set, is the program's trace file (TQ5_TRACE_TICKS).

failures=0 unchecked=0
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

# With $trace (TQ5_TRACE_TICKS), whether the program's own account since the press (in $since; the
# trace had $1 lines before it) has the box showing $2 texts with the timer off: in $shown the
# texts put into the box, as it then held them.
settled() {
    since=$(tail -n +$(($1 + 1)) "$trace")
    mapfile -t shown < <(sed -n 's/^[0-9]* ms: box //p' <<<"$since")
    timer=$(grep -o 'timer o[nf]*' <<<"$since" | tail -1)
    [ ${#shown[@]} -ge $2 ] && [ "$timer" = "timer off" ]
}

# One query: the command text (empty: leave it), the bytes the device must receive, then the
# texts the box must show in order. With a trace, the box is followed there (settled), with no key
# pressed: each text is what a copy would give. Copying many times a second, as below, missed
# short-lived outcomes, and under wine 8 deadlocked the program's copies against wine's clipboard
# (docs/windows.md). Without one, the box first gets a mark, so that every outcome is a change of
# it; X delivers the keys in order, so the mark is in before the button is pressed. The box is
# then read every 15 ms or so, less often under load; with missed_ok set, earlier outcomes may
# slip through unseen.
check() { # name text hex shown...
    local name=$1 text=$2 hex=$3 rx_before rx previous
    local want=("${@:4}")
    [ -n "$text" ] && click $txt_senden key ctrl+a BackSpace type "$text"
    rx_before=$(grep -c ' RX ' "$log")
    if [ -n "${trace:-}" ]; then
        local before=$(wc -l <"$trace")
        click $cmd_abfragen
        await 20 settled "$before" ${#want[@]}
    else
        click $txt_empfangen key --delay 0 ctrl+a x
        click $cmd_abfragen
        shown=() previous=x
        local end=$((SECONDS + 5))
        while [ "$previous" != "${want[-1]}" ] && [ $SECONDS -le $end ]; do
            read_box || die "$name: nothing could be copied from the reply box"
            [ "$box" != "$previous" ] && shown+=("$box") previous=$box
        done
    fi
    rx=$(grep ' RX ' "$log" | tail -n +$((rx_before + 1)) | sed 's/.*\[\(.*\)\]$/\1/')
    [ "$rx" = "$hex" ] || fail "$name: the device received [$rx], expected [$hex]"
    if [ "${shown[*]}" = "${want[*]}" ]; then
        echo "ok: $name"
    # A busy machine can hold the device's answer back past the 21st tick: the program then
    # rightly times out first, and the row cannot show what it is about. Not twice more in a run.
    elif [ -n "${trace:-}" ] && [ "${shown[0]:-}" = "Fehler : Timeout" ] &&
        sed -n '/ box Fehler : Timeout$/,$p' <<<"$since" | grep -q ' read '; then
        echo "not checked: $name: the answer reached the program after the timeout, then the box showed ${shown[*]@Q}"
        ((++unchecked <= 2)) || fail "$unchecked answers came after the timeout: more than a busy machine explains"
    elif [ -n "${missed_ok:-}" ] && [ "${shown[*]}" = "${want[*]: -${#shown[@]}}" ]; then
        echo "ok: $name (seen only ${shown[*]@Q})"
    else
        # Quoted, so that control characters in the box show.
        fail "$name: the box showed ${shown[*]@Q}, expected ${want[*]@Q}${trace:+; the program: $(grep -c ' tick ' <<<"$since") ticks since the press, ${timer:-the timer never on}}"
    fi
}

# check for each row of a table file: name | command text (empty: leave it) | the bytes the
# device must receive | the texts the box must show, in order. # starts a comment line.
check_table() {
    local row
    while IFS='|' read -r -a row -u 3; do
        [[ ${row[0]} == \#* ]] || check "${row[@]}"
    done 3<"$1"
}
