#!/bin/sh
# Boots the installed Debian kernel in QEMU with a busybox initramfs that mounts each image
# given (attached as the virtio disks vda, vdb, ... in that order) first as vfat and then as
# msdos; each time it lists the files, copies DOCS/DATA.BIN into a new directory BY<fs>
# and writes a NOTE.TXT there. Prints the guest's report, one "@ disk fs ..." line a step.
# Usage: linux_guest.sh WORKDIR IMAGE...
set -eu
work=$1
shift
kernel=$(ls /boot/vmlinuz-* | sort -V | tail -n 1)
version=${kernel#/boot/vmlinuz-}
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root/bin" "$root/mnt" "$root/dev" "$root/proc" "$root/lib"
cp /bin/busybox "$root/bin/busybox"
# Each module after those it needs, as modprobe would load them.
modprobe -a --show-depends -S "$version" virtio_pci virtio_blk vfat msdos nls_cp437 nls_ascii |
    awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r module; do
    cp "$module" "$root/lib/"
    basename "$module" .ko >>"$root/lib/order"
done
cat >"$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
for m in $(cat /lib/order); do
    insmod /lib/$m.ko 2>&1 | sed "s/^/@ insmod $m: /"
done
# The report starts on a line of its own, after what the kernel printed.
echo
for d in /dev/vd*; do
    n=${d#/dev/}
    for fs in vfat msdos; do
        if mount -t $fs $d /mnt; then
            echo "@ $n $fs mounted"
            (cd /mnt && find . -type f | sort | sed "s|^\./|@ $n $fs file |")
            mkdir /mnt/BY$fs && cp /mnt/DOCS/DATA.BIN /mnt/BY$fs/DATA.BIN &&
                echo "written by $fs" >/mnt/BY$fs/NOTE.TXT && echo "@ $n $fs wrote"
            umount /mnt && echo "@ $n $fs unmounted"
        else
            echo "@ $n $fs refused"
        fi
    done
done
echo "@ done"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initramfs.gz"
drives=""
for image in "$@"; do
    drives="$drives -drive file=$image,if=virtio,format=raw"
done
# Without KVM: on this kind of machine a KVM guest stalls.
timeout 120 qemu-system-x86_64 -machine accel=tcg -m 256 -nographic -no-reboot -nic none \
    -kernel "$kernel" -initrd "$work/initramfs.gz" -append "console=ttyS0 quiet panic=-1" \
    $drives </dev/null | tr -d '\r' | grep '^@ '
