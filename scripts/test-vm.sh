#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the program on real serial drivers: boots a small virtual PC twice (QEMU without KVM,
# Debian's own kernel, the host's files read-only over 9p) and runs tests/e2e/vm.sh in it, with
# the simulated device on the host end of each port. First PC: a 16550 UART as port 1 and an
# FTDI USB adapter, pulled and put back through QEMU's monitor. Second PC: no UART behind
# /dev/ttyS0, with the adapter and then without. The host's ends are pseudo-terminals only: the
# host's own /dev/ttyS0 is never given to QEMU. Exit 77 (skipped), with the reason, where QEMU
# cannot run here.
set -euo pipefail
cd "$(dirname "$0")/.."
me=scripts/test-vm.sh
die() { echo "$me: $*" >&2 && exit 1; }
skip() { echo "SKIP: $*" && exit 77; }
if ! scripts/deps.sh qemu-system-x86 cpio xvfb xdotool xclip procps strace; then
    [ -n "${CI:-}" ] || skip "the virtual PC's packages cannot be installed here (see above)"
    exit 1
fi
echo quit | timeout 60 qemu-system-x86_64 -M none -nodefaults -display none -monitor stdio >/dev/null 2>&1 ||
    skip "qemu-system-x86_64 does not start here"
scripts/build.sh
repo=$(pwd)
build=$(realpath "${BUILD_DIR:-build}")
# The guest's system and the program it runs: the host's own, or another release's root and a
# build made in it (scripts/test-debian13.sh). The device and the layout probe run here.
guest_root=${TQ5_VM_ROOT:-/}
guest_build=$(realpath "${TQ5_VM_BUILD:-$build}")

# Debian's kernel, the one linux-image-amd64 stands for, and busybox-static (which would replace
# the machine's busybox if installed) are fetched and taken apart once per build folder.
kernel=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/ *Depends: linux-image-//p' | head -1)
[ -n "$kernel" ] || die "apt-cache knows no linux-image-amd64; as root: apt-get update"
modules="usb-common usbcore usbserial ftdi_sio xhci-hcd xhci-pci netfs fscache 9pnet virtio_ring
    virtio 9pnet_virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci 9p"
cache=$build/vm/$kernel
if [ ! -e "$cache/vmlinuz" ] || [ ! -e "$cache/busybox" ]; then
    echo "Fetching Debian's kernel linux-image-$kernel and busybox-static ..."
    rm -rf "$build/vm" && mkdir -p "$cache/deb"
    (cd "$cache/deb" && apt-get download -qq "linux-image-$kernel" busybox-static 2>&1 |
        grep -v '^W: Download is performed unsandboxed' >&2) || true
    for deb in "$cache"/deb/*.deb; do dpkg-deb -x "$deb" "$cache/deb/x" || true; done
    [ -d "$cache/deb/x/lib/modules" ] && cp "$cache/deb/x/bin/busybox" "$cache/" ||
        die "could not fetch linux-image-$kernel and busybox-static; as root: apt-get update, then run this again"
    for m in $modules; do
        find "$cache/deb/x/lib/modules" -name "$m.ko" -exec cp {} "$cache/" \;
        [ -e "$cache/$m.ko" ] || die "linux-image-$kernel has no module $m"
    done
    mv "$cache"/deb/x/boot/vmlinuz-* "$cache/vmlinuz"
    rm -rf "$cache/deb"
fi

work=$(mktemp -d)
pids=()
cleanup() {
    kill "${pids[@]}" 2>/dev/null || true
    wait
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# The initramfs: busybox, the modules in their order, the init.
mkdir -p "$work/initramfs/bin" "$work/initramfs/lib/modules"
cp "$cache/busybox" "$work/initramfs/bin/"
cp scripts/vm/init.sh "$work/initramfs/init"
cp "$cache"/*.ko "$work/initramfs/lib/modules/"
echo "$modules" >"$work/initramfs/modules"
(cd "$work/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd"
export XDG_RUNTIME_DIR=$work
positions=$("$build/tests/layout_probe")

# One guest: CASE (tests/e2e/vm.sh's argument), then QEMU's port options. Its run's folder is
# $work/CASE, shared with the guest at the same path; the guest asks there for what only the
# host can do (ask.N: pull, plug, stty) and the host answers in done.N.
boot() {
    local name=$1 share=$work/$1 qemu s0='' u0=''
    shift
    mkdir "$share"
    mkfifo "$share/mon.in" "$share/mon.out"
    cat "$share/mon.out" >"$share/monitor.log" &
    pids+=($!)
    exec 5<>"$share/mon.in"
    echo '{"execute": "qmp_capabilities"}' >&5
    {
        printf 'repo=%q build=%q work=%q command=%q\n' "$repo" "$guest_build" "$share" "exec $repo/tests/e2e/vm.sh $name"
        printf 'export BUILD=%q WORK=%q POSITIONS=%q\n' "$guest_build" "$share" "${positions//$'\n'/;}"
    } >"$share/env"
    local start=$SECONDS
    qemu-system-x86_64 -accel tcg,thread=multi -m 1024 -smp 2 -nodefaults -no-user-config -display none \
        -no-reboot -kernel "$cache/vmlinuz" -initrd "$work/initrd" -append "quiet panic=-1" \
        -virtfs local,path="$guest_root",mount_tag=host,security_model=none,readonly=on,multidevs=remap \
        -virtfs local,path="$repo",mount_tag=repo,security_model=none,readonly=on,multidevs=remap \
        -virtfs local,path="$guest_build",mount_tag=build,security_model=none,readonly=on,multidevs=remap \
        -virtfs local,path="$share",mount_tag=work,security_model=none \
        -chardev pipe,id=mon,path="$share/mon" -mon chardev=mon,mode=control \
        "$@" >"$share/qemu.log" 2>&1 &
    qemu=$!
    pids+=("$qemu")
    # QEMU names its pseudo-terminals: "char device redirected to /dev/pts/N (label s0)".
    for _ in $(seq 100); do
        s0=$(sed -n 's/.*redirected to \(.*\) (label s0)/\1/p' "$share/qemu.log")
        u0=$(sed -n 's/.*redirected to \(.*\) (label u0)/\1/p' "$share/qemu.log")
        [[ -n $u0 && ($name != uart || -n $s0) ]] && break
        sleep 0.05
    done
    [ -n "$u0" ] || die "QEMU named no pseudo-terminal: $(cat "$share/qemu.log")"
    if [ -n "$s0" ]; then
        "$build/tq5sim" --tty "$s0" --rules tests/e2e/device.rules --answer silence --gap 10 >"$share/uart.log" 2>&1 &
        pids+=($!)
        # Not 9600 once the device has set its line: so that the guest's settings show here if
        # QEMU hands them on.
        for _ in $(seq 100); do grep -q '^TTY ' "$share/uart.log" && break; sleep 0.05; done
        stty -F "$s0" 38400
    fi
    # The adapter attaches once its line is open on this side.
    "$build/tq5sim" --tty "$u0" --rules tests/e2e/device.rules --answer silence --gap 10 >"$share/usb.log" 2>&1 &
    pids+=($!)
    local n=1 ask rx del='{"execute": "device_del", "arguments": {"id": "u1"}}'
    while kill -0 "$qemu" 2>/dev/null; do
        ask=$share/ask.$n
        if [ -e "$ask" ]; then
            case $(cat "$ask") in
            pull) echo "$del" >&5 ;;
            plug) echo '{"execute": "device_add", "arguments": {"driver": "usb-serial", "chardev": "u0", "id": "u1"}}' >&5 ;;
            stty) echo "the host's end of port 1 meanwhile: $(stty -F "$s0" speed) baud (38400 unless QEMU hands on the guest's settings)" ;;
            # Pulled as soon as the next frame reaches the device: while its query waits.
            pull-on-frame)
                rx=$(grep -c ' RX ' "$share/usb.log")
                (while [ "$(grep -c ' RX ' "$share/usb.log")" -le "$rx" ]; do sleep 0.005; done
                    echo "$del" >&5
                    echo "pulled at $(date +%T.%3N), the frame reached the device at $(grep ' RX ' "$share/usb.log" | tail -1 | cut -d' ' -f1)") &
                pids+=($!)
                ;;
            esac
            mv "$ask" "$share/done.$n"
            n=$((n + 1))
        fi
        # Bounded: a guest that hangs fails the run.
        [ $((SECONDS - start)) -le 300 ] || { kill "$qemu" && echo "$name: the guest ran out of time"; }
        sleep 0.05
    done
    exec 5>&-
    cat "$share/guest.out" 2>/dev/null
    status=$(cat "$share/status" 2>/dev/null) || true
    echo "$name: guest up and down in $((SECONDS - start)) s, status ${status:-none}"
    [ "$status" = 0 ] || { tail -n 30 "$share/qemu.log" "$share/monitor.log" "$share/dmesg.log"; return 1; }
}

# The two PCs, or those named: scripts/test-vm.sh [uart] [none]
adapter=(-device qemu-xhci -chardev pty,id=u0 -device usb-serial,chardev=u0,id=u1)
failed=0
pcs=("$@")
[ $# -gt 0 ] || pcs=(uart none)
for pc in "${pcs[@]}"; do
    case $pc in
    uart) boot uart -chardev pty,id=s0 -serial chardev:s0 "${adapter[@]}" || failed=1 ;;
    none) boot none -serial none "${adapter[@]}" || failed=1 ;;
    *) echo "usage: $0 [uart] [none]" >&2 && exit 2 ;;
    esac
done
[ $failed -eq 0 ] && echo "all virtual PC checks passed in $SECONDS s" || exit 1
