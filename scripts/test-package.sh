#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages as a user gets them: builds them (scripts/package.sh), checks them with
# lintian and appstreamcli, installs them with dpkg, runs the end-to-end test against the installed
# /usr/bin/tq5bus, tq5bus-port1 and tq5sim, and removes them again. Needs root; exit 77 (skipped) with
# the reason when it cannot run. The layout probe comes from the normal build (BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
packages=(tq5bus tq5bus-sim)
for p in "${packages[@]}"; do
    # Its own copy would be replaced, then removed.
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' &&
        skip "$p is installed on this machine; remove it first (dpkg -r $p)"
done
probe=${BUILD_DIR:-build}/tests/layout_probe
[ -x "$probe" ] || skip "$probe is not built (scripts/build.sh builds it)"
scripts/deps.sh lintian appstream xvfb xdotool xclip

echo "== building the packages"
debs=()
mapfile -t debs < <(scripts/package.sh)
[ ${#debs[@]} -eq 2 ] || { echo "FAIL: expected two packages, got: ${debs[*]}"; exit 1; }
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
for deb in "${debs[@]}"; do
    echo "-- $deb"
    dpkg-deb -f "$deb" Package Version Depends
    outside=$(dpkg-deb -c "$deb" | awk '$6 !~ /^\.\/usr\// && $6 != "./"' || true)
    [ -z "$outside" ] || fail "$deb holds files outside /usr: $outside"
    if [ "$(dpkg-deb -f "$deb" Package)" = tq5bus ] &&
        ! dpkg-deb -f "$deb" Depends | grep -qw qt6-translations-l10n; then
        fail "$deb does not depend on qt6-translations-l10n: Qt's own menus would be English"
    fi
done

echo "== lintian (errors and warnings fail; infos are listed)"
# lintian warns that it runs as root, which is what installing needs here.
lint=0
# lintian leaves its ELF caches (mldbm-elf-*) in TMPDIR: one of its own, removed after it.
lintian_tmp=$(mktemp -d)
report=$(TMPDIR=$lintian_tmp lintian --fail-on error,warning --display-info "${debs[@]}" 2>&1) || lint=$?
rm -rf "$lintian_tmp"
grep -v 'running with root privileges' <<<"$report" || true
[ $lint -eq 0 ] || fail "lintian found errors or warnings (status $lint)"

echo "== installing"
trap 'dpkg -r "${packages[@]}" >/dev/null 2>&1 || true' EXIT
dpkg -i "${debs[@]}"
for bin in /usr/bin/tq5bus /usr/bin/tq5sim; do
    ! readelf -d "$bin" | grep -E 'RPATH|RUNPATH' || fail "$bin carries a search path"
done
appstreamcli validate --no-net /usr/share/metainfo/org.example.tq5bus.metainfo.xml ||
    fail "the installed AppStream metadata does not validate"

echo "== the installed programs end to end"
# Installed, tq5bus-port1 takes no COMMAND and no pseudo-terminal, which the end-to-end test
# needs: it gets the installed file's copy beside the installed program, in a folder marked as a
# build's.
out=$(/usr/bin/tq5bus-port1 /dev/null /bin/sh 2>&1) && fail "/usr/bin/tq5bus-port1 ran a COMMAND" ||
    [[ $out = *"nimmt nur das GERÄT"* ]] || fail "/usr/bin/tq5bus-port1 with a COMMAND: $out"
staged=$(mktemp -d)
trap 'rm -rf "$staged"; dpkg -r "${packages[@]}" >/dev/null 2>&1 || true' EXIT
cp /usr/bin/tq5bus-port1 "$staged/" && ln -s /usr/bin/tq5bus "$staged/" && : >"$staged/CMakeCache.txt"
status=0
tests/e2e/e2e.sh "$staged/tq5bus-port1" /usr/bin/tq5sim "$probe" || status=$?
[ $status -eq 77 ] && skip "the end-to-end test cannot run here (above)"
[ $status -eq 0 ] || fail "the installed program failed the end-to-end test"

echo "== removing"
rm -rf "$staged"
dpkg -r "${packages[@]}"
trap - EXIT
for f in /usr/bin/tq5bus /usr/bin/tq5sim /usr/share/metainfo/org.example.tq5bus.metainfo.xml /etc/apparmor.d/tq5bus-port1; do
    [ ! -e "$f" ] || fail "$f is still there after dpkg -r"
done
[ $failures -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "the packages passed"
