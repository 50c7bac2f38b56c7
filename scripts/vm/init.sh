#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# The virtual PC's first process (scripts/test-vm.sh puts it in the initramfs as /init): loads
# the drivers from /modules, mounts the host's files read-only and the run's folder writable over
# 9p, runs the run's command as root in a chroot of the host's system, and powers off. What it
# and the command print goes to the run's folder, guest.out; the command's status to status.
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod "/lib/modules/$m.ko" || echo "init: $m did not load"; done
p9='-t 9p -o trans=virtio,version=9p2000.L,msize=262144'
mkdir -p /host /share
mount $p9,ro,cache=loose host /host && mount $p9 work /share || { echo "init: 9p failed"; poweroff -f; }
exec >>/share/guest.out 2>&1
# repo, build, work, command
. /share/env
for d in tmp run root var/tmp var/lib/xkb; do mount -t tmpfs -o mode=1777 tmp "/host/$d"; done
mkdir -p /host/run/lock
mkdir -m 700 /host/tmp/xdg
mount -t devtmpfs dev /host/dev
mkdir -p /host/dev/pts /host/dev/shm
mount -t devpts -o ptmxmode=666 pts /host/dev/pts
mount -t tmpfs shm /host/dev/shm
# Afresh, not the initramfs's: a bound /sys hides the USB adapter from Qt's list of ports.
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
# At their host paths even where those are below a tmpfs of the guest's (/tmp).
mkdir -p "/host$work" "/host$repo"
mount --bind /share "/host$work"
mount $p9,ro,cache=loose repo "/host$repo"
mkdir -p "/host$build"
mount $p9,ro,cache=loose build "/host$build"
echo "init: up in $(cut -d' ' -f1 /proc/uptime) s"
chroot /host /bin/sh -c "$command"
echo $? >/share/status
dmesg >/share/dmesg.log
sync
poweroff -f
