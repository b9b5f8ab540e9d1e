#!/bin/busybox sh
# shellcheck shell=dash
# /init of the test guest (run-guest-tests.sh builds the initramfs): mounts
# the kernel's file systems, loads the HID modules (hid-generic makes the
# hidraw nodes; nothing else would load it here), runs the tests and powers
# off. The host reads the "RESULT" lines and the closing "GUEST DONE" from the
# console.
/bin/busybox --install -s /bin
export PATH=/bin LANG=C.UTF-8 HOME=/root TMPDIR=/tmp

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

for module in hid hid-generic uhid; do
    if insmod /lib/modules/$module.ko; then
        echo "RESULT PASS module:$module"
    else
        echo "RESULT FAIL module:$module"
    fi
done

echo "GUEST START"
sh /test/guest-tests.sh
echo "GUEST DONE"
poweroff -f
