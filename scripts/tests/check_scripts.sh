#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The scripts as a user meets them: paths read from the caller's folder, a build that is quiet
# unless it fails, missing packages without root or sudo, and a device standing in for port 1
# under its own lock. cmake is a stub: a real run would reconfigure the build under test (and
# test-as-user.sh's copy of a build cannot be rebuilt). Exit 77 (skipped) with the reason when
# no mount namespace can be had here.
# usage: check_scripts.sh TQ5SIM
set -uo pipefail
sim=$1 build=$(dirname "$1") root=$(cd "$(dirname "$0")/../.." && pwd)
reason=$("$root/scripts/as-port1.sh" --check 2>&1) || { echo "SKIP: $reason"; exit 77; }
tmp=$(mktemp -d) failures=0 pids=() lock=
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$tmp" "$lock"' EXIT
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

# A pseudo-terminal as the adapter, over a stale lock (its process gone): the bytes arrive and a
# second start through run.sh is refused. The end-to-end test checks the lock's life.
"$sim" --answer silence >"$tmp/sim.log" 2>&1 & pids+=($!)
await grep -q '^PTY ' "$tmp/sim.log" || { fail "the device printed no PTY line" && exit 1; }
pty=$(sed -n '1s/^PTY //p' "$tmp/sim.log") && name=${pty#/dev/} && lock=/run/lock/LCK..${name//\//_}
printf '%s\ncutecom\n%s\n' "$(sh -c 'echo $$')" "$(uname -n)" >"$lock"
"$root/scripts/as-port1.sh" --lock "$pty" sh -c 'printf "NAKDA\003" >/dev/ttyS0 && exec sleep 60' &
holder=$! && pids+=($!)
await grep -q 'RX .*\[4E 41 4B 44 41 03\]' "$tmp/sim.log" || fail "the device received no frame"
run timeout 20 "$root/scripts/run.sh" "$pty"
[[ $rc = 1 && $out = *"in use: $lock names process $holder ("*"/scripts/as-port1.sh --lock $pty "*"); close that program first" ]] ||
    fail "a second start: $rc '$out'"
kill "$holder"
wait "$holder"
[ $failures -eq 0 ] && echo "all script checks passed"
