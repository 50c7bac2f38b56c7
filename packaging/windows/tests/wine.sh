#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows build under wine, run by scripts/test-windows.sh inside a mount namespace where the
# device's pseudo-terminal stands over /dev/ttyS0 (wine maps COM1 there in every new prefix, and
# rewrites the prefix's link when it starts): the protocol test, the program from the zip end to
# end, a pulled adapter as Windows reports it, its start-up error, and the installer. Each prefix
# is the run's own and is ended with it. Replies come through wine's own serial code; the
# pseudo-terminal gets the modem lines wine asks for from MODEM_LINES (pty_modem_lines.c), and
# FAULTS (serial_faults.cpp), loaded into the program as a Qt plugin, fails the port on cue.
# From the caller: WORK PTY DEVICE_LOG POSITIONS QUERIES ZIP SETUP TST_PROTOCOL QT_TEST FAULTS
# MODEM_LINES UIA_CLIENT; with TQ5_WINDOW_PICTURE and TQ5_BOX_PICTURE, PNGs of the window as it
# opens and of the start-up error box are written there.
set -uo pipefail
log=$DEVICE_LOG logs=$WORK
# fail, die, await, click, read_box, check, check_table
. "$(dirname "$0")/../../../tests/e2e/drive.sh"
eval "$POSITIONS"

# Never a console: the namespace put the device over /dev/ttyS0.
[ "$(stat -Lc %t:%T /dev/ttyS0)" = "$(stat -Lc %t:%T "$PTY")" ] || die "/dev/ttyS0 is not the device here"

# Whatever wine writes outside its prefix stays in the run's folder and goes with it: menu
# entries and icons under HOME (and none made at all), caches, and the server's socket, which
# Debian's wine keeps in TMPDIR.
export HOME=$WORK/home TMPDIR=$WORK/tmp XDG_RUNTIME_DIR=$WORK XDG_DATA_HOME=$WORK/home/data \
    XDG_CONFIG_HOME=$WORK/home/config XDG_CACHE_HOME=$WORK/home/cache
mkdir -p "$HOME" "$TMPDIR"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# wine keeps QT_* variables from Windows programs, but hands on WINEQT_* as QT_*.
mkdir -p "$WORK/plugins/generic" && cp "$FAULTS" "$WORK/plugins/generic/" || die "no $FAULTS"
export WINEQT_QPA_GENERIC_PLUGINS=serial_faults
prefixes=()
cleanup() {
    local p
    for p in "${prefixes[@]}"; do WINEPREFIX=$p ws -k 2>/dev/null; done
    [ -z "${xvfb:-}" ] || kill "$xvfb" 2>/dev/null
    wait
}
trap cleanup EXIT
trap 'exit 1' INT TERM

Xvfb -displayfd 3 -screen 0 640x480x24 -dpi 96 -nolisten tcp -noreset 3>"$WORK/display" 2>"$WORK/xvfb.log" &
xvfb=$!
await 10 test -s "$WORK/display" || die "Xvfb did not start"
export DISPLAY=:$(cat "$WORK/display")
unset XAUTHORITY
export LD_PRELOAD=$MODEM_LINES

# Every step of wine's is bounded: a hung one fails the run instead of holding it.
w() { timeout -k 5 120 wine "$@"; }
ws() { timeout -k 5 120 wineserver "$@"; }
# A new prefix whose COM1 is the device before, and after, wine sets it up. Wine links COM1 anew
# whenever it starts, to what its registry names, else to /dev/ttyS0; it gives the machine's
# other serial devices the next numbers. Port 1 is safe because /dev/ttyS0 is the device here.
com1() {
    [ ! -e "$WINEPREFIX/system.reg" ] ||
        w reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$1" /f >/dev/null 2>&1
    ln -sfn "$1" "$WINEPREFIX/dosdevices/com1"
}
new_prefix() {
    export WINEPREFIX=$WORK/$1
    prefixes+=("$WINEPREFIX")
    mkdir -p "$WINEPREFIX/dosdevices" "$WINEPREFIX/drive_c"
    ln -s ../drive_c "$WINEPREFIX/dosdevices/c:"
    ln -s / "$WINEPREFIX/dosdevices/z:"
    com1 "$PTY"
    timeout -k 5 120 wineboot -i >"$WORK/wineboot-$1.log" 2>&1 && ws -w ||
        die "wine could not make a prefix"
    com1 "$PTY"
}

new_prefix prefix
WINEQT_PLUGIN_PATH=$(w winepath -w "$WORK/plugins" 2>/dev/null) || die "winepath failed"
# The program's trace, in which the checks follow the reply box (drive.sh, settled).
trace=$WORK/ticks.log
TQ5_TRACE_TICKS=$(w winepath -w "$trace" 2>/dev/null) || die "winepath failed"
cue=$WORK/fault
SERIAL_FAULT_CUE=$(w winepath -w "$cue" 2>/dev/null) || die "winepath failed"
export WINEQT_PLUGIN_PATH TQ5_TRACE_TICKS SERIAL_FAULT_CUE
echo "wine $(wine --version 2>/dev/null), prefix in $SECONDS s"

# The protocol test beside the zip's DLLs and Qt's test library.
unzip -q "$ZIP" -d "$WINEPREFIX/drive_c" || die "cannot unpack $ZIP"
app=$(basename "$ZIP" .zip)
exe="C:\\$app\\tq5bus.exe"
folder=$WINEPREFIX/drive_c/$app
cp "$TST_PROTOCOL" "$QT_TEST" "$folder"/*.dll "$WORK/" || die "cannot copy the protocol test"
# Its console output does not reach a pipe under wine: the results go to a file.
results=$(w winepath -w "$WORK/tst_protocol.txt" 2>/dev/null)
w "$WORK/tst_protocol.exe" -o "$results,txt" >/dev/null 2>&1 &&
    echo "ok: tst_protocol.exe: $(grep -a '^Totals' "$WORK/tst_protocol.txt" | tr -d '\r')" ||
    fail "tst_protocol.exe: $(cat "$WORK/tst_protocol.txt")"

# The window: caption, size and icons.
# Windows that wine closes meanwhile make xdotool complain; the search goes on.
find_window() { win=$(xdotool search --onlyvisible --name '^TQ5-Bus-Protokoll$' 2>/dev/null | head -1); }
start() { # exe [log name]; wine's log of the DLLs loaded goes to program.log, or the name given
    WINEDEBUG=-all,+loaddll wine "$1" >"$WORK/${2:-program}.log" 2>&1 &
    program=$!
    await 20 find_window || die "no window appeared"
    timeout 5 xdotool windowfocus --sync "$win" || die "the window took no focus"
}
ended() { # the program's exit status into $status, "none" when it has not ended within 10 s
    if timeout 10 tail --pid "$program" -f /dev/null; then
        status=0
        wait "$program" || status=$?
    else
        status=none
        ws -k
    fi
}
# Typed as the keyboard does (XTEST), into the window focused first: under wine 10 keys sent to
# the window (XSendEvent) did not arrive.
key() { find_window && timeout 5 xdotool windowfocus --sync "$win" key "$@" 2>/dev/null; }
stop() { # the program ends with status 0 when its window is closed
    key alt+F4
    ended
    [ "$status" = 0 ] || fail "closing the window: status $status"
}
start "$exe"
if [ -n "${TQ5_WINDOW_PICTURE:-}" ]; then
    sleep 0.5 # first paint
    import -window "$win" "$TQ5_WINDOW_PICTURE"
fi
[ "$(xdotool getwindowname "$win")" = TQ5-Bus-Protokoll ] || fail "caption: $(xdotool getwindowname "$win")"
eval "$(xdotool getwindowgeometry --shell "$win")"
[ "$WIDTH x $HEIGHT" = "182 x 86" ] || fail "window size $WIDTH x $HEIGHT, expected 182 x 86"
icons=$(xprop -id "$win" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | sort | tr '\n' ' ')
[ "$icons" = "Icon (16 x 16) Icon (32 x 32) " ] || fail "window icons: '$icons'"

# Screen readers: the shipped platform plugin answers UI Automation for the window (what is left
# to Windows: uia_client.cpp). The queries and the closing below show the window still works.
uia=$(w "$UIA_CLIENT" 2>&1 | tr -d '\r') && echo "ok: UI Automation: ${uia//$'\n'/; }" || fail "UI Automation: $uia"

# The zip holds exactly what the program loads of its own: each DLL and plugin in it is loaded,
# and nothing is loaded from elsewhere but Windows' own (a missing one would stop the start).
loaded=$(sed -n 's/.*Loaded L"\(.*\)" at .*: native$/\1/p' "$WORK/program.log" | sed 's/\\\\/\\/g' | sort -u)
shipped=$(cd "$folder" && find . -name '*.dll' | sed 's|^\./|C:\\'"$app"'\\|; s|/|\\|g' | sort)
[ "$(grep -iv '^C:\\windows\\' <<<"$loaded" | grep -v 'tq5bus\.exe$\|serial_faults')" = "$shipped" ] &&
    echo "ok: the program loads every DLL of the zip and no other of its own" ||
    fail "loaded: $(tr '\n' ' ' <<<"$loaded"), shipped: $(tr '\n' ' ' <<<"$shipped")"

# The queries of the Linux end-to-end test, answered the same way.
check_table "$QUERIES"
# A Windows-1252 command, pasted: typed keys beyond ASCII race with xdotool's keyboard remap.
printf 'Grüß' | xclip -i -selection clipboard
click $txt_senden key --delay 50 ctrl+a ctrl+v
check "a Windows-1252 command" "" "47 72 FC DF 39 34 03" "Fehler : Timeout"

# Qt's context menu in German: there A is "&Ausschneiden" and cuts the selected command; the
# English menu has "Cu&t" and nothing on A.
printf 'e2e: nothing cut yet' | xclip -i -selection clipboard
click $txt_senden key ctrl+a click 3 sleep 1 key a
await 5 clipboard_is 'Grüß' && echo "ok: the command box's menu in German" || fail "A in the command box's menu cut nothing: '$box'"

# The adapter pulled, as Windows' drivers report it (serial_faults.cpp): each code while the
# program idles, while a query waits for its reply (a command the device never answers), and as
# a query is written. The loss shows at once and once, costs no CPU, a press then says the port
# is missing, and once plugged back in the port answers again.
# The box's texts since line $1 of the trace into $shown, at least one.
shows() { mapfile -t shown < <(tail -n +$(($1 + 1)) "$trace" | sed -n 's/^[0-9]* ms: box //p') && [ ${#shown[@]} -ge 1 ]; }
cue() { # the plugin takes it within 20 ms
    echo "$1" >"$cue.new" && mv "$cue.new" "$cue" && await 10 test ! -e "$cue" || fail "the plugin took no cue '$1'"
}
stat=/proc/$program/stat
grep -qa 'tq5bus\.exe' "/proc/$program/cmdline" || stat=/proc/$(pgrep -f 'tq5bus\.exe' | head -1)/stat
for code in 5:ERROR_ACCESS_DENIED 22:ERROR_BAD_COMMAND 31:ERROR_GEN_FAILURE 995:ERROR_OPERATION_ABORTED \
    1617:ERROR_DEVICE_REMOVED; do
    for moment in idle sent next; do
        name=${code#*:}\ ${moment/sent/with a query waiting} && name=${name/next/as a query is written}
        [ $moment = idle ] || click $txt_senden key ctrl+a BackSpace type SILENT
        notes=$(cat "$cue.log" 2>/dev/null | wc -l) mark=$(wc -l <"$trace") t0=$(date +%s%N) f0=$failures
        cue "$moment ${code%%:*}"
        [ $moment = idle ] || click $cmd_abfragen
        await 10 shows "$mark"
        ms=$((($(date +%s%N) - t0) / 1000000)) ticks=$(awk '{print $14 + $15}' "$stat") && sleep 2
        used=$((($(awk '{print $14 + $15}' "$stat") - ticks) * 100 / $(getconf CLK_TCK) / 2))
        [ "$used" -lt 10 ] || fail "$name: the program spins after the loss ($used % of a core)"
        # Which call failed first, and how many: a program retrying the dead port shows there.
        how=$(tail -n +$((notes + 1)) "$cue.log" | grep -m1 ' from ' | tr -d '\r')
        shows "$mark" && [ ${#shown[@]} -eq 1 ] && [[ ${shown[0]} == 'Fehler : Port 1 getrennt: '* ]] ||
            fail "$name: the box showed ${shown[*]@Q} (${how:-no fault noted}), expected one loss"
        lost=${shown[0]:-} mark=$(wc -l <"$trace")
        click $cmd_abfragen
        await 10 shows "$mark" && [[ ${shown[0]} == 'Fehler : Port 1 (COM1) ist nicht vorhanden'* ]] ||
            fail "$name: pressed after the loss, the box showed ${shown[*]@Q}"
        cue plug
        [ -d "${stat%/stat}" ] || die "$name: the program ended"
        calls=$(tail -n +$((notes + 1)) "$cue.log" | grep -c ' from ')
        [ "$calls" -le 6 ] || fail "$name: $calls calls on the removed port"
        [ $failures -gt "$f0" ] || echo "ok: $name: $how; '$lost' after $ms ms, $used % CPU over 2 s, $calls failed calls"
        check "$name, plugged back in" NAK "4E 41 4B 44 41 03" "{NAK}"
    done
done
echo "calls failed in the table: $(grep -o ' from .*' "$cue.log" | tr -d '\r' | sort | uniq -c | tr -s ' \n' ' ')"
stop

# Start-up error: nothing behind COM1, an adapter on COM3. Wine ends first, so that it links COM1
# anew from the registry as it starts again; its server then stays, since Qt lists the ports a
# volatile key names, which lives as long as the server.
ws -w
ws -p
com1 "$WORK/absent"
w reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /t REG_SZ /d COM3 /f >/dev/null 2>&1 ||
    fail "wine would not name COM3"
start "$exe" startup
[ -z "${TQ5_BOX_PICTURE:-}" ] || import -window "$win" "$TQ5_BOX_PICTURE"
# Qt's message box copies its text on Ctrl+C, once it has taken the key focus.
printf '%s' "$unread" | xclip -i -selection clipboard
copy_box() {
    key ctrl+c
    sleep 0.2
    ! clipboard_is "$unread"
}
await 10 copy_box
# What wine says for a COM port with no device (Windows itself says the port is missing); the
# other ports (wine adds COM2, where it moves /dev/ttyS0), not COM1; the way to make one COM1,
# and the button to Device Manager.
box=${box//$'\r'/} missing=
for want in $'Fehler 8: Port 1 (COM1) lässt sich nicht öffnen.\nSystemmeldung: Invalid function.\n' \
    $'COM1. Weitere serielle Schnittstellen dieses Rechners:\n' $'\n  COM3\n' \
    "Geräte-Manager → Anschlüsse (COM & LPT) → COM" "Geräte-Manager öffnen" \
    "→ Eigenschaften → Anschlusseinstellungen → Erweitert… → COM-Anschlussnummer: COM1 → OK."; do
    [[ $box == *"$want"* ]] || missing+=" ${want@Q}"
done
[[ $box != *$'\n  COM1'* ]] || missing+=" (COM1 is listed)"
[ -z "$missing" ] && echo "ok: the start-up error lists COM3 and how to make it COM1" ||
    fail "the start-up error box lacks$missing: ${box@Q}"
key Return
ended
[ "$status" = 1 ] || fail "start-up error: status $status, expected 1"
ws -k 2>/dev/null

# The installer: its pages in German; silently into a new prefix, for all users; one query;
# silently out again. LIESMICH.txt for Notepad, here as in the zip: UTF-8 with its mark, CRLF.
new_prefix installed
w "$SETUP" >"$WORK/setup-pages.log" 2>&1 &
await 30 xdotool search --onlyvisible --name '^Installation von TQ5-Bus-Protokoll$' >/dev/null &&
    echo "ok: the installer speaks German" || fail "no installer window captioned in German"
ws -k
[ "$(od -An -tx1 -N3 "$folder/LIESMICH.txt")" = " ef bb bf" ] && ! grep -qv $'\r$' "$folder/LIESMICH.txt" ||
    fail "LIESMICH.txt: missing, or not UTF-8 with its mark and CRLF"
w "$SETUP" /S >"$WORK/setup.log" 2>&1 && ws -w || fail "the installer failed"
programs=$(w winepath -u 'C:\Program Files' 2>/dev/null)/TQ5-Bus-Protokoll
menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/TQ5-Bus-Protokoll
[ -e "$programs/tq5bus.exe" ] || die "the installer put no tq5bus.exe in $programs"
[ -e "$menu/TQ5-Bus-Protokoll.lnk" ] || fail "no Start menu entry: $(find "$WINEPREFIX/drive_c" -name '*.lnk' | tr '\n' ' ')"
keys=('HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TQ5-Bus-Protokoll'
    'HKLM\Software\The TQ5-Bus-Protokoll developers\TQ5-Bus-Protokoll')
for key in "${keys[@]}"; do
    w reg query "$key" >/dev/null 2>&1 || fail "the installer wrote no $key"
done
diff -r "$programs" "$folder" | grep -v "Only in $programs: Uninstall.exe" >"$WORK/installed.diff" &&
    fail "the installed files differ from the zip's: $(cat "$WORK/installed.diff")"
# A client that meets a server about to end on its own is cut off: none is left to meet.
ws -w
start 'C:\Program Files\TQ5-Bus-Protokoll\tq5bus.exe'
check "the installed program" "" "47 30 31 4B 30 31 50 30 30 3D 34 31 03" "{ACK}"
stop
w "$programs/Uninstall.exe" /S >"$WORK/uninstall.log" 2>&1 && ws -w || fail "the uninstaller failed"
left=$(find "$programs" "$menu" 2>/dev/null)
for key in "${keys[@]}"; do
    ! w reg query "$key" >/dev/null 2>&1 || left+=" $key"
done
[ -z "$left" ] && echo "ok: installed, queried, uninstalled" || fail "left after uninstalling: $left"

[ $failures -eq 0 ] || give_up
echo "all Windows checks passed in $SECONDS s"
