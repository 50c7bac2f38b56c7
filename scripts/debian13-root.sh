#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes a Debian 13 (trixie) root to build and test in, at /var/cache/tq5bus/trixie
# (TQ5_DEBIAN13_ROOT to move it), with what scripts/test.sh and the Windows test's wine
# (scripts/test-windows.sh) need there. Reused once complete
# (it holds .complete); made afresh where missing or left half-made. Fetched from the mirror this
# machine's apt uses. Its /dev holds no console and no node reaching this machine's port 1.
# Needs root. Prints the root's path.
set -euo pipefail
cd "$(dirname "$0")/.."
me=scripts/debian13-root.sh
die() { echo "$me: $*" >&2 && exit 1; }
root=${TQ5_DEBIAN13_ROOT:-/var/cache/tq5bus/trixie}
[ "$(id -u)" -eq 0 ] || die "run it as root (debootstrap and mknod need root)"
packages="g++ make cmake qt6-base-dev qt6-serialport-dev qt6-translations-l10n xvfb xdotool xclip procps file wine wine64 fonts-wine x11-utils unzip imagemagick"

# Nodes that reach a console of this machine (5:1, the virtual terminals 4:0-63) or its port 1
# (4:64): none may be in the root.
check_nodes() {
    local name major minor bad=
    while read -r name major minor; do
        major=$((16#$major)) minor=$((16#$minor))
        if { [ $major -eq 5 ] && [ $minor -eq 1 ]; } || { [ $major -eq 4 ] && [ $minor -le 64 ]; }; then
            bad+=" $name"
        fi
    done < <(find "$root" -xdev -type c -exec stat -c '%n %t %T' {} +)
    [ -z "$bad" ] || die "the root holds console or port 1 nodes (remove them):$bad"
}

mkdir -p "$(dirname "$root")"
# One maker at a time; a second run waits and then finds the root complete.
exec 9>"$root.lock"
flock 9
# Installs the packages into the root, its /proc going with the namespace. apt fetches in
# parallel and, without a sync per file, unpacks faster than debootstrap does.
install_packages() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    if ! unshare --mount --pid --fork --propagation private sh -c 'mount -t proc proc "$0/proc" &&
        exec chroot "$0" sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends -o Dpkg::Options::=--force-unsafe-io $1"' "$root" "$packages" >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        die "installing the build's packages in $root failed (above); run this again"
    fi
    rm -rf "$root"/var/cache/apt/archives/*.deb "$root"/var/lib/apt/lists/*
}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if [ -e "$root/.complete" ]; then
    # .complete names the packages it was made with; a root made before one was added gets it.
    if [ "$(cat "$root/.complete")" != "$packages" ]; then
        echo "Adding packages to the Debian 13 root in $root ..." >&2
        install_packages
        echo "$packages" >"$root/.complete"
    fi
    check_nodes
    echo "$root"
    exit 0
fi

# Nothing may be mounted below a root about to be removed: the removal would reach through.
if grep -q " ${root}[/ ]" /proc/self/mountinfo; then
    die "something is mounted below $root (findmnt -R $root); unmount it first"
fi
rm -rf "$root"
scripts/deps.sh debootstrap >&2
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | sed 's/\[[^]]*\]//' |
    awk -v s="$codename" '$1 == "deb" && $3 == s { print $2; exit }' || true)
if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v s="$codename" '
        /^[ \t]*$/ { if (u != "" && ok) { print u; exit } u = ""; ok = 0; next }
        $1 == "URIs:" { u = $2 }
        $1 == "Suites:" { for (i = 2; i <= NF; i++) if ($i == s) ok = 1 }
        END { if (u != "" && ok) print u }' | head -1 || true)
fi
[ -n "$mirror" ] || die "found no Debian mirror for '$codename' in /etc/apt/sources.list*; add one and run apt-get update"

echo "Making the Debian 13 root in $root from $mirror (first time: a few minutes) ..." >&2
start=$SECONDS
mkdir -p "$root/dev"
# debootstrap makes a /dev/console only where none exists: a plain file keeps its node out.
: >"$root/dev/console"
# debootstrap unmounts what it mounted when it ends; anything it leaves is unmounted here.
trap 'rm -f "$log"; awk -v r="$root/" "index(\$5, r) == 1 { print \$5 }" /proc/self/mountinfo | sort -r | xargs -r -n1 umount -l' EXIT
if ! debootstrap --variant=minbase trixie "$root" "$mirror" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    die "debootstrap failed (the end of its log is above; $root/debootstrap/debootstrap.log has more)"
fi
# No service of the root's may start on this machine.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
install_packages
rm -f "$root/dev/console"
# Port 1 of the root: a node no driver serves here, for the tests to bind a pseudo-terminal over.
mknod -m 660 "$root/dev/ttyS0" c 4 70
check_nodes
echo "$packages" >"$root/.complete"
echo "Made in $((SECONDS - start)) s, $(du -shx "$root" | cut -f1)" >&2
echo "$root"
