#!/bin/busybox sh
# shellcheck shell=dash
# /init of the wine test guest (run-wine-guest-tests.sh builds the
# initramfs): loads the modules, mounts the host's root (read-only, over
# virtio-9p) under a tmpfs overlay, mounts the results share writable inside
# it, and runs the tests there in a chroot with bash. The host reads the
# results file; this console shows only how the guest got there.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

for module in $(cat /modules); do
    insmod /lib/modules/$module.ko || echo "guest: module $module not loaded"
done

# shellcheck source=/dev/null
. /config
share() { mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144"$3" "$1" "$2"; }
# A tmpfs for the guest's /tmp under ROOT; a project that lies under /tmp
# (a clone in a scratch folder) stays at its own path, writable through the
# overlay.
guest_tmp() {
    case "$repo" in
    /tmp/*)
        mkdir -p /mnt/keep &&
            mount -o bind "$1$repo" /mnt/keep &&
            mount -t tmpfs tmpfs "$1/tmp" &&
            mkdir -p "$1$repo" &&
            mount -o bind /mnt/keep "$1$repo"
        ;;
    *) mount -t tmpfs tmpfs "$1/tmp" ;;
    esac
}
mkdir -p /mnt/host /mnt/rw /mnt/root
if share hostroot /mnt/host ,ro,cache=loose &&
    mount -t tmpfs -o size=2g tmpfs /mnt/rw &&
    mkdir -p /mnt/rw/upper /mnt/rw/work &&
    mount -t overlay overlay -o lowerdir=/mnt/host,upperdir=/mnt/rw/upper,workdir=/mnt/rw/work /mnt/root &&
    guest_tmp /mnt/root &&
    share results "/mnt/root$results" ""; then
    root=/mnt/root
    mount -t proc proc $root/proc
    mount -t sysfs sysfs $root/sys
    mount -t devtmpfs devtmpfs $root/dev
    mkdir -p $root/dev/pts $root/dev/shm
    mount -t devpts devpts $root/dev/pts
    mount -t tmpfs tmpfs $root/dev/shm
    mount -t tmpfs tmpfs $root/run
    cp /config $root/tmp/guest-config
    chroot $root /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
        LANG=C.UTF-8 /bin/bash "$tests" /tmp/guest-config
    echo "guest: tests ended with status $?"
else
    echo "guest: cannot mount the host's root"
fi
sync
poweroff -f
