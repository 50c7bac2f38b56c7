#!/bin/bash
# SPDX-License-Identifier: MIT
# Starts tq5bus with DEVICE, a USB serial adapter say, standing in for port 1: DEVICE is bound
# over /dev/ttyS0 in a private mount namespace, so the program opens it where it opens port 1 and
# the machine's own port 1 is never touched. Installed as tq5bus-port1. As root, or else through
# an unprivileged user namespace where the system allows one. DEVICE is locked in /run/lock as Qt
# locks a serial port, so no other program opens it meanwhile; the program's own lock of port 1
# goes to a private /run/lock. Given a COMMAND, it runs that instead (tests; --lock to lock).
usage="usage: tq5bus-port1 DEVICE
       tq5bus-port1 [--lock] DEVICE COMMAND [ARGS...]
       tq5bus-port1 --check [DEVICE]   (exit 0 if it can run here, else say why; 77 for the system)"
set -euo pipefail
me=$(basename "$0")
refuse() { echo "$me: $*" >&2 && exit 2; }
locking=
case ${1:-} in
-h | --help) echo "$usage" && exit 0 ;;
--lock) locking=1 && shift ;;
esac
checking=
[ "${1:-}" != --check ] || { checking=1 && shift; }
[ -n "$checking" ] || [ $# -ge 1 ] || { echo "$usage" >&2 && exit 2; }
if [ $# -eq 1 ] && [ -z "$checking" ]; then
    locking=1
    program=$(dirname "$(realpath "$0")")/tq5bus
    [ -x "$program" ] || refuse "there is no tq5bus beside this command ($program); in the repository, run scripts/run.sh DEVICE"
    set -- "$1" "$program"
fi
[ -e /dev/ttyS0 ] || { echo "$me: /dev/ttyS0 does not exist to bind over" >&2 && exit 77; }

# The device as the user named it, checked before anything else happens.
if [ $# -ge 1 ]; then
    given=$1
    [ -n "$given" ] || refuse "give the serial device that is to be port 1, e.g. /dev/ttyUSB0"
    [ -e "$given" ] || refuse "$given does not exist (an adapter shows up as /dev/ttyUSB0 or /dev/ttyACM0 when plugged in; ls /dev/serial/by-id lists them)"
    # Relative names and links such as /dev/serial/by-id/... name the device itself.
    device=$(realpath "$given")
    [ -c "$device" ] || refuse "$given is not a serial device (not a character device)"
    # The same device under another name would be the machine's own port 1 after all, and the
    # consoles (tty, console, the virtual terminals, whatever the kernel's console is) are no
    # adapter either.
    number=$(stat -Lc %t:%T "$device")
    [ "$number" != "$(stat -Lc %t:%T /dev/ttyS0)" ] ||
        refuse "$given is port 1 (/dev/ttyS0) itself; give the device that is to stand in for it"
    console=
    for name in $(cat /sys/class/tty/console/active 2>/dev/null); do
        [ "$number" != "$(stat -Lc %t:%T "/dev/$name" 2>/dev/null)" ] || console=$name
    done
    major=$((16#${number%:*})) minor=$((16#${number#*:}))
    if [ -n "$console" ] || [ $major -eq 5 ] || { [ $major -eq 4 ] && [ $minor -lt 64 ]; }; then
        refuse "$given is a console of this machine, not a serial adapter"
    fi
    if ! { [ -r "$device" ] && [ -w "$device" ]; }; then
        group=$(stat -c %G "$device")
        [[ $group != root && $(stat -c %A "$device") == ????rw* ]] ||
            refuse "you may not open $given, and only its owner $(stat -c %U "$device") may; ask the administrator for access"
        refuse "you may not open $given; join its group and log in again: su -c 'adduser $(id -un) $group' (or: sudo adduser $(id -un) $group)"
    fi
fi

# A mount namespace of its own as root; otherwise, or where a container refuses that, one
# inside an unprivileged user namespace. Each is tried before it is used.
candidates=("unshare --user --map-root-user --mount --propagation private")
[ "$(id -u)" -ne 0 ] || candidates=("unshare --mount --propagation private" "${candidates[@]}")
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
    if [ "$(id -u)" -ne 0 ]; then
        echo "$me: binding a device over /dev/ttyS0 needs root or unprivileged user namespaces, and this system allows no such namespace; run it as root (sudo $me ...)" >&2
    else
        echo "$me: this system refuses the mount namespace that binding a device over /dev/ttyS0 needs (a container without CAP_SYS_ADMIN?)" >&2
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
# shellcheck disable=SC2016 # expanded by the inner shell
run=("${ns[@]}" -- sh -c 'mount --bind "$0" /dev/ttyS0 &&
    { [ ! -d /run/lock ] || mount -t tmpfs -o mode=1777 tq5lock /run/lock; } && exec "$@"' \
    "$device" "${back[@]}" "$@")
[ -n "$locking" ] || exec "${run[@]}"

# Qt's lock file: LCK.. and the name below /dev/ with / as _; pid, program and host a line each.
# Qt holds a lock live while that pid runs that program, so this shell holds it, outlives the
# command and removes it. A lock with a pid that no longer runs is stale and replaced.
name=${device#/dev/}
lock=/run/lock/LCK..${name//\//_}
[ -w /run/lock ] || { echo "$me: /run/lock is closed to you; $given is not locked" >&2 && exec "${run[@]}"; }
if [ -e "$lock" ]; then
    pid=$(sed -n '1{s/ //g;p;}' "$lock" 2>/dev/null) || true
    if [[ ! $pid =~ ^[0-9]+$ ]] || [ -d "/proc/$pid" ]; then
        app=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || app=$(sed -n 2p "$lock" 2>/dev/null) || true
        app=${app% }
        echo "$me: $given is in use: $lock names process ${pid:-?}${app:+ (${app:0:100})}; close that program first" >&2
        exit 1
    fi
    rm -f "$lock"
fi
if ! (set -C && printf '%s\n%s\n%s\n' $$ "$(basename "$(readlink /proc/$$/exe)")" "$(uname -n)" >"$lock") 2>/dev/null; then
    echo "$me: cannot create $lock to lock $given for this program" >&2
    exit 1
fi
trap 'rm -f "$lock"' EXIT
# The command ends however this shell is asked to end; then the lock goes.
"${run[@]}" <&0 &
command=$!
trap 'kill "$command" 2>/dev/null || true' INT TERM HUP
while :; do
    status=0
    wait "$command" || status=$?
    kill -0 "$command" 2>/dev/null || exit $status
done
