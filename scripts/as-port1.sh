#!/bin/bash -p
# SPDX-License-Identifier: MIT
# Starts tq5bus with DEVICE, a USB serial adapter say, standing in for port 1: DEVICE is bound
# over /dev/ttyS0 in a private mount namespace, so the program opens it where it opens port 1 and
# the machine's own port 1 is never touched. Installed as tq5bus-port1. Through an unprivileged
# user namespace where the system allows one, else as root (sudo, pkexec), binding as root and
# then running the program as the user who asked. Only serial devices are taken: no console, no
# other kind of device. DEVICE is locked in /run/lock as Qt locks a serial port, flock included,
# so no other program opens it meanwhile; the program's own lock of port 1 goes to a private
# /run/lock. In the build tree and the sources only, it also takes a pseudo-terminal as DEVICE
# and a COMMAND to run instead of the program (tests; --lock to lock).
usage="Aufruf: tq5bus-port1 GERÄT
        tq5bus-port1 --check [GERÄT]   (Status 0, wenn er hier laufen kann; sonst nennt er den Grund, 77: das System erlaubt es nicht)"
set -euo pipefail
me=$(basename "$0")
here=$(dirname "$(realpath -- "$0")")
refuse() { echo "$me: $*" >&2 && exit 2; }
# The forms for tests only where the build or the sources hold this file: never where it is
# installed, so that a sudo rule for it hands out no other command.
testing=
[ ! -e "$here/CMakeCache.txt" ] && [ ! -e "$here/../CMakeLists.txt" ] || testing=1
# Installed, it runs the system's own tools only, and (bash -p) no start-up file or function
# from the caller's environment: its AppArmor profile may let it make a user namespace.
[ -n "$testing" ] || export PATH=/usr/sbin:/usr/bin:/sbin:/bin
[ -z "$testing" ] || usage+="
        tq5bus-port1 [--lock] GERÄT BEFEHL [ARGUMENTE...]   (Tests, aus dem Build-Verzeichnis)"
locking=
case ${1:-} in
-h | --help) echo "$usage" && exit 0 ;;
--lock) locking=1 && shift ;;
esac
checking=
[ "${1:-}" != --check ] || { checking=1 && shift; }
[ -n "$checking" ] || [ $# -ge 1 ] || { echo "$usage" >&2 && exit 2; }
[ -z "$checking" ] || [ $# -le 1 ] || { echo "$usage" >&2 && exit 2; }
[ -n "$testing" ] || { [ -z "$locking" ] && [ $# -le 1 ]; } ||
    refuse "nimmt nur das GERÄT, das Port 1 vertreten soll; ein BEFEHL und --lock sind für Tests im Build-Verzeichnis"
if [ $# -eq 1 ] && [ -z "$checking" ]; then
    locking=1
    program=$here/tq5bus
    [ -x "$program" ] || refuse "neben diesem Befehl liegt kein tq5bus ($program); im Repository: scripts/run.sh GERÄT"
    set -- "$1" "$program"
fi
[ -e /dev/ttyS0 ] || { echo "$me: /dev/ttyS0 fehlt, es gibt nichts zu überdecken" >&2 && exit 77; }

# Root on behalf of someone (sudo, pkexec) binds, then runs the program as that user: a program
# running as root has no session bus, and with it no screen reader.
user=$(id -un) drop=()
caller=${PKEXEC_UID:-${SUDO_UID:-}}
if [ "$(id -u)" -eq 0 ] && [ -n "$caller" ] && [ "$caller" != 0 ]; then
    entry=
    [[ ! $caller =~ ^[0-9]+$ ]] || entry=$(getent passwd "$caller") || true
    [ -n "$entry" ] || refuse "der aufrufende Benutzer $caller ist hier unbekannt"
    IFS=: read -r user _ _ group _ home _ <<<"$entry"
    [ -n "${PKEXEC_UID:-}" ] || group=${SUDO_GID:-$group}
    [[ $group =~ ^[0-9]+$ ]] || refuse "die Gruppe $group des aufrufenden Benutzers ist keine Zahl"
    export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=$home USER=$user LOGNAME=$user
    [ ! -d "/run/user/$caller" ] || export XDG_RUNTIME_DIR=/run/user/$caller
    drop=(setpriv --reuid="$caller" --regid="$group" --init-groups --)
fi

# The device as the user named it, resolved once and checked before anything else happens.
if [ $# -ge 1 ]; then
    given=$1
    [ -n "$given" ] || refuse "geben Sie das serielle Gerät an, das Port 1 sein soll, z. B. /dev/ttyUSB0"
    [ -e "$given" ] || refuse "$given existiert nicht (ein eingesteckter Adapter erscheint als /dev/ttyUSB0 oder /dev/ttyACM0; ls /dev/serial/by-id listet sie)"
    # Relative names and links such as /dev/serial/by-id/... name the device itself.
    device=$(realpath -- "$given")
    [ -c "$device" ] || refuse "$given ist kein serielles Gerät (kein zeichenorientiertes Gerät)"
    number=$(stat -c %t:%T -- "$device")
    major=$((16#${number%:*})) minor=$((16#${number#*:}))
    # The same device under another name would be the machine's own port 1 after all.
    if [ "$number" = "$(stat -Lc %t:%T /dev/ttyS0)" ] || [ "$major:$minor" = 4:64 ]; then
        refuse "$given ist Port 1 (/dev/ttyS0) selbst; geben Sie das Gerät an, das ihn vertreten soll"
    fi
    # The consoles: tty, console, ttyprintk (major 5), the virtual terminals, the kernel's console.
    console=
    for name in $(cat /sys/class/tty/console/active 2>/dev/null); do
        [ "$number" != "$(stat -Lc %t:%T "/dev/$name" 2>/dev/null)" ] || console=$name
    done
    if [ -n "$console" ] || [ $major -eq 5 ] || { [ $major -eq 4 ] && [ $minor -lt 64 ]; }; then
        refuse "$given ist eine Konsole dieses Rechners, kein serieller Adapter"
    fi
    if [ $major -ge 136 ] && [ $major -le 143 ]; then
        [ -n "$testing" ] || refuse "$given ist ein Pseudo-Terminal, kein serieller Adapter"
    else
        # Opening a watchdog arms it, and /dev/kmsg or an input device is no line to a device.
        kind=$(realpath -q -- "/sys/dev/char/$major:$minor/subsystem") || kind=unknown
        [ "${kind##*/}" = tty ] || refuse "$given ist kein serielles Gerät (ein Gerät der Art ${kind##*/})"
    fi
    # shellcheck disable=SC2016 # expanded by the inner shell
    if ! "${drop[@]}" sh -c '[ -r "$0" ] && [ -w "$0" ]' "$device"; then
        group=$(stat -c %G "$device")
        [[ $group != root && $(stat -c %A "$device") == ????rw* ]] ||
            refuse "$user darf $given nicht öffnen, nur sein Besitzer $(stat -c %U "$device"); bitten Sie den Administrator um Zugriff"
        refuse "$user darf $given nicht öffnen; treten Sie seiner Gruppe bei und melden Sie sich neu an: su -c 'adduser $user $group' (oder: sudo adduser $user $group)"
    fi
fi

# A mount namespace of its own as root; otherwise, or where a container refuses that, one
# inside an unprivileged user namespace. Each is tried before it is used.
candidates=("unshare --user --map-root-user --mount --propagation private")
[ "$(id -u)" -ne 0 ] || candidates=("unshare --mount --propagation private" "${candidates[@]}")
[ ${#drop[@]} -eq 0 ] || candidates=("${candidates[0]}")
ns=()
for candidate in "${candidates[@]}"; do
    read -ra try <<<"$candidate"
    if "${try[@]}" -- sh -c 'mount --bind /dev/null /dev/ttyS0 &&
        { [ ! -d /run/lock ] || mount -t tmpfs tq5lock /run/lock; }' 2>/dev/null; then
        ns=("${try[@]}")
        break
    fi
done
if [ ${#ns[@]} -eq 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "$me: dieses System verweigert den Mount-Namespace, den das Überdecken von /dev/ttyS0 braucht (ein Container ohne CAP_SYS_ADMIN?)" >&2
    elif [ "$(cat /proc/sys/kernel/apparmor_restrict_unprivileged_userns 2>/dev/null)" = 1 ] &&
        unshare --user --map-root-user true 2>/dev/null; then
        echo "$me: AppArmor erlaubt hier Benutzer-Namespaces, aber kein Einhängen darin (kernel.apparmor_restrict_unprivileged_userns=1, wie unter Ubuntu 24.04). Das Profil des Pakets tq5bus erlaubt es diesem Befehl: sudo apparmor_parser -r /etc/apparmor.d/tq5bus-port1; oder starten Sie sudo $me GERÄT, das Programm läuft dann trotzdem unter Ihrem Benutzer" >&2
    else
        echo "$me: das Überdecken von /dev/ttyS0 braucht root oder Benutzer-Namespaces ohne Privilegien, und dieses System erlaubt keine; starten Sie sudo $me GERÄT, das Programm läuft dann trotzdem unter Ihrem Benutzer" >&2
    fi
    exit 77
fi
[ -z "$checking" ] || exit 0
shift
# In a user namespace the command would run as its root, whom the session's D-Bus, and with it
# the desktop's accessibility bus, refuses: once the binds are made it goes back to the caller's
# own ids.
back=()
[ "${ns[1]}" != --user ] || back=(unshare --user --map-user="$(id -u)" --map-group="$(id -g)" --)
# Right before the command starts, the bound node must still be the device checked above: a
# replug in between may have given its name to another device.
# shellcheck disable=SC2016 # expanded by the inner shell
run=("${ns[@]}" -- sh -c 'mount --bind "$0" /dev/ttyS0 &&
    { [ ! -d /run/lock ] || mount -t tmpfs -o mode=1777 tq5lock /run/lock; } || exit 1
    [ "$(stat -c %t:%T /dev/ttyS0)" = "$1" ] ||
        { echo "$2: $0 hat sich vor dem Programmstart geändert (neu eingesteckt?); bitte erneut starten" >&2 && exit 1; }
    shift 2 && exec "$@"' "$device" "$number" "$me" "${back[@]}" "${drop[@]}" "$@")
[ -n "$locking" ] || exec "${run[@]}"

# Qt's lock file: LCK.. and the name below /dev/ with / as _; pid, program and host a line each.
# Qt holds a lock live while that pid runs that program and, once it is 30 s old, only while
# someone holds an flock on it: this shell holds both for the whole run (the command inherits
# the flock), and checks and replaces a stale lock under the same flock. A lock with a pid that
# no longer runs, or with none at all, and no flock on it is stale.
name=${device#/dev/}
lock=/run/lock/LCK..${name//\//_}
[ -w /run/lock ] || { echo "$me: in /run/lock dürfen Sie nicht schreiben; $given wird nicht gesperrt" >&2 && exec "${run[@]}"; }
in_use() {
    local pid app
    pid=$(sed -n '1{s/ //g;p;}' "$lock" 2>/dev/null) || true
    # Anyone may write the lock: its first line is used only as a process number.
    [[ $pid =~ ^[0-9]+$ ]] || pid=
    app=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || app=$(sed -n 2p "$lock" 2>/dev/null) || true
    app=${app% }
    echo "$me: $given wird benutzt: $lock nennt Prozess ${pid:-?}${app:+ (${app:0:100})}; beenden Sie zuerst das andere Programm" >&2
    exit 1
}
# /run/lock is open to all: nothing but a plain file is opened there, nor written through a link.
[ ! -L "$lock" ] && { [ ! -e "$lock" ] || [ -f "$lock" ]; } ||
    { echo "$me: $lock ist keine Sperrdatei; das Programm wird nicht gestartet" >&2 && exit 1; }
{ exec {held}>>"$lock"; } 2>/dev/null || { exec {held}<"$lock"; } 2>/dev/null ||
    { echo "$me: $lock lässt sich nicht anlegen, um $given für dieses Programm zu sperren" >&2 && exit 1; }
flock -n "$held" || in_use
ours=$(stat -Lc %d:%i "/proc/$$/fd/$held")
# Removed by its holder between our open and our flock: not the file at that name any more.
[ "$(stat -c %d:%i "$lock" 2>/dev/null)" = "$ours" ] || in_use
pid=$(sed -n '1{s/ //g;p;}' "/proc/$$/fd/$held")
[[ ! $pid =~ ^[0-9]+$ ]] || [ ! -d "/proc/$pid" ] || in_use
printf '%s\n%s\n%s\n' $$ "$(basename "$(readlink /proc/$$/exe)")" "$(uname -n)" 2>/dev/null >"/proc/$$/fd/$held" ||
    { echo "$me: die verwaiste Sperre $lock von $(stat -c %U "$lock") lässt sich nicht ersetzen; entfernen Sie sie: sudo rm $lock" >&2 && exit 1; }
# Only the lock this run wrote goes: someone may have put their own in its place meanwhile.
trap '[ "$(stat -c %d:%i "$lock" 2>/dev/null)" != "$ours" ] || [ "$(head -n 1 "$lock")" != $$ ] || rm -f "$lock"' EXIT
# The command ends however this shell is asked to end; then the lock goes.
"${run[@]}" <&0 &
command=$!
trap 'kill "$command" 2>/dev/null || true' INT TERM HUP
while :; do
    status=0
    wait "$command" || status=$?
    kill -0 "$command" 2>/dev/null || exit $status
done
