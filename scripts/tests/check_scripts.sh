#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The scripts as a user meets them: paths read from the caller's folder, a build that is quiet
# unless it fails, missing packages without root or sudo, and a device standing in for port 1
# under its own lock, only a serial device at that. cmake is a stub: a real run would reconfigure
# the build under test (and test-as-user.sh's copy of a build cannot be rebuilt). Exit 77 (skipped) with the reason when
# no mount namespace can be had here.
# usage: check_scripts.sh TQ5SIM TST_FRM   (TST_FRM with TQ5_HOLD: a Qt program opening a port)
set -uo pipefail
# Runs here are the caller's own, not made on behalf of someone through sudo.
unset SUDO_UID SUDO_GID PKEXEC_UID
sim=$1 frm=$2 build=$(dirname "$1") root=$(cd "$(dirname "$0")/../.." && pwd)
reason=$("$root/scripts/as-port1.sh" --check 2>&1) || { echo "SKIP: $reason"; exit 77; }
tmp=$(mktemp -d) failures=0 pids=() lock=
# The lock first: once the device's pseudo-terminal closes, its name may pass to someone else.
trap 'rm -rf "$tmp" "$lock"; kill "${pids[@]}" 2>/dev/null; wait' EXIT
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }
await() { for _ in {1..200}; do "$@" && return; sleep 0.05; done && return 1; }
# A command run in $tmp: its output in $out, its status in $rc.
run() { out=$(cd "$tmp" && "$@" 2>&1) && rc=0 || rc=$?; }
chmod 755 "$tmp" && mkdir "$tmp/stub" "$tmp/bin"
# shellcheck disable=SC2016 # the stub's own expansions
printf '#!/bin/sh\necho "cmake $*"\nexit ${STUB_STATUS:-0}\n' >"$tmp/stub/cmake" && chmod +x "$tmp/stub/cmake"
export PATH=$tmp/stub:$PATH QT_QPA_PLATFORM=offscreen BUILD_DIR=$build

# build folder | cmake's status | build.sh's status | its whole output (a regular expression)
while read -r dir status want_rc want; do
    run env BUILD_DIR="$dir" STUB_STATUS="$status" "$root/scripts/build.sh"
    [[ $rc = "$want_rc" && $out =~ ^$want$ ]] || fail "build.sh in $dir, cmake $status: $rc '$out'"
done <<ROWS
$build 0 0
$tmp/new 0 0 Building.*first time.*
$build 1 1 cmake -S .*the build failed; its output is above
ROWS

printf 'G01 no-such-answer\n' >"$tmp/my.rules"
run "$root/scripts/try.sh" --rules my.rules
[[ $rc = 2 && $out = "tq5sim: rules file my.rules: line 1: unknown answer"* ]] || fail "try.sh --rules my.rules: $rc '$out'"

# Neither root nor sudo: as root, the script runs as nobody, read from its standard input.
for t in dpkg-query grep id; do ln -s "$(command -v "$t")" "$tmp/bin/"; done
as=() && [ "$(id -u)" -ne 0 ] || as=(runuser -u nobody --)
run "${as[@]}" env PATH="$tmp/bin" "$BASH" -s tq5-no-such-package <"$root/scripts/deps.sh"
[[ $rc = 1 && $out = *"su -c 'apt-get update && apt-get install -y --no-install-recommends tq5-no-such-package'"* ]] ||
    fail "deps.sh without root or sudo: $rc '$out'"

# A pseudo-terminal as the adapter. The end-to-end test checks the lock's life.
"$sim" --answer silence >"$tmp/sim.log" 2>&1 & pids+=($!)
await grep -q '^PTY ' "$tmp/sim.log" || { fail "the device printed no PTY line" && exit 1; }
pty=$(sed -n '1s/^PTY //p' "$tmp/sim.log") && name=${pty#/dev/} && lock=/run/lock/LCK..${name//\//_}

# Only serial devices, and not port 1 under any name; as installed (no build beside it, the
# program a stub), only a real adapter and no COMMAND.
inst=$tmp/inst/tq5bus-port1 && mkdir "$tmp/inst" "$tmp/by-id" && ln -s /dev/ttyS0 "$tmp/by-id/usb-port1"
cp "$root/scripts/as-port1.sh" "$inst" && ln -s /bin/true "$tmp/inst/tq5bus"
while IFS='|' read -r line why; do
    read -ra args <<<"$line"
    # A root made for building (Debian 13 in CI) has no console or kernel log node at all.
    [[ ${args[1]} != /dev/* ]] || [ -e "${args[1]}" ] || continue
    run "${args[@]}" </dev/null
    [[ $rc = 2 && $out = *"$why"* ]] || fail "${args[*]}: $rc '$out'"
done <<ROWS
$inst $tmp/by-id/usb-port1|ist Port 1 (/dev/ttyS0) selbst
$inst /dev/console|ist eine Konsole dieses Rechners
$inst $tmp/no-such-adapter|existiert nicht
$inst $tmp/by-id|ist kein serielles Gerät (kein zeichenorientiertes Gerät)
$inst /dev/null|/dev/null ist kein serielles Gerät (ein Gerät der Art mem)
$inst /dev/kmsg|/dev/kmsg ist kein serielles Gerät (ein Gerät der Art mem)
$inst $pty sh|nimmt nur das GERÄT
$inst --lock $pty|nimmt nur das GERÄT
$inst $pty|ist ein Pseudo-Terminal, kein serieller Adapter
ROWS

# The command runs as the caller, not as a namespace's root whom the desktop's D-Bus refuses; root
# acting for an ordinary user (sudo) binds, then runs it as that user.
ids=("$(id -u)" "$(id -g)")
[ "${ids[0]}" -ne 0 ] || { chmod o+rw "$pty" && ids=(65534 65534) && export SUDO_UID=65534 SUDO_GID=65534; }
# shellcheck disable=SC2016 # the status of the command's own process
run "$root/scripts/as-port1.sh" "$pty" sh -c 'grep "^[UG]id:" /proc/$$/status' && unset SUDO_UID SUDO_GID
[[ $rc = 0 && $out = $'Uid:\t'"${ids[0]}"*$'\nGid:\t'"${ids[1]}"* ]] || fail "not run as ${ids[*]}: $rc '$out'"

# A stale lock, its process gone or no process named, is replaced and goes with the run.
for stale in "$(sh -c 'echo $$')" garbled; do
    printf '%s\ncutecom\n' "$stale" >"$lock" && run "$root/scripts/as-port1.sh" --lock "$pty" true
    [[ $rc = 0 && ! -e $lock ]] || fail "over the stale lock '$stale': $rc '$out'"
done
# Held: the bytes arrive; a Qt program refuses it though the lock is older than Qt's 30 s for a
# stale one; a second start through run.sh is refused.
"$root/scripts/as-port1.sh" --lock "$pty" sh -c 'printf "NAKDA\003" >/dev/ttyS0 && exec sleep 60' &
holder=$! && pids+=($!)
await grep -q 'RX .*\[4E 41 4B 44 41 03\]' "$tmp/sim.log" || fail "the device received no frame"
touch -d '1 minute ago' "$lock" && run env TQ5_HOLD="$pty" "$frm" </dev/null
[[ $rc = 1 && -e $lock ]] || fail "a Qt program took the held adapter: $rc '$out'"
run timeout 20 "$root/scripts/run.sh" "$pty"
[[ $rc = 1 && $out = *"wird benutzt: $lock nennt Prozess $holder ("*"/scripts/as-port1.sh --lock $pty "*"); beenden Sie zuerst das andere Programm" ]] ||
    fail "a second start: $rc '$out'"
# Someone else's lock in its place stays when the run ends.
rm "$lock" && printf '1\ninit\n%s\n' "$(uname -n)" >"$lock"
kill "$holder" && wait "$holder"
[ "$(head -n 1 "$lock")" = 1 ] || fail "someone else's lock went with the run"
[ $failures -eq 0 ] && echo "all script checks passed"
