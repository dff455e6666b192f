#!/bin/busybox sh
# /init of the rig's initramfs: loads what the host's root needs (virtio,
# 9p), mounts it read-only with writable tmpfs folders on top, and runs the
# checks inside it (chroot). Whatever happens, it powers the VM off: after the
# checks, or when the watchdog's time is up.
/bin/busybox mkdir -p /sbin /usr/bin /usr/sbin /proc /sys /dev /root
/bin/busybox --install -s

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec >/dev/console 2>&1

say() { echo "pellan-rig: $*"; }
stop() {
    say "$*"
    sync
    poweroff -f
}

# Settings from the kernel command line: pellan.NAME=VALUE.
for word in $(cat /proc/cmdline); do
    case $word in
    pellan.*=*)
        name=${word%%=*}
        eval "rig_${name#pellan.}=\${word#*=}"
        ;;
    esac
done
say "init (uptime $(cut -d' ' -f1 /proc/uptime) s)"

# Powers off before the host's own bound, so that the log says why.
if [ -n "${rig_timeout:-}" ]; then
    (sleep "$rig_timeout" && stop "watchdog: the checks did not end within $rig_timeout s, powering off") &
fi

for module in $(cat /modules/order); do
    insmod "/modules/$module" || stop "cannot load $module"
done

root=/root
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot $root ||
    stop "cannot mount the host's root over 9p"
for dir in tmp run var/tmp; do
    mount -t tmpfs -o mode=1777 tmpfs "$root/$dir" || stop "cannot mount a tmpfs on /$dir"
done
mount -t proc proc $root/proc
mount -t sysfs sys $root/sys
mount -t devtmpfs dev $root/dev
mkdir -p $root/dev/pts $root/dev/shm
mount -t devpts devpts $root/dev/pts
mount -t tmpfs -o mode=1777 tmpfs $root/dev/shm

# The source and build folders, wherever they lie on the host (a tmpfs
# above may hide them), and the folder for the results.
share() {
    mkdir -p "$root$2" 2>/dev/null
    mount -t 9p -o "trans=virtio,version=9p2000.L,$3,msize=512000" "$1" "$root$2" ||
        stop "cannot mount $1 on $2"
}
share source "$rig_source" ro,cache=loose
share build "$rig_build" ro,cache=loose
share out /run/pellan-rig rw

say "host root mounted (uptime $(cut -d' ' -f1 /proc/uptime) s)"
chroot $root /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/tmp LANG=C.UTF-8 PYTHONDONTWRITEBYTECODE=1 PELLAN_RIG_MODULES="$rig_modules" \
    /usr/bin/python3 "$rig_source/tests/usb/guest.py" "$rig_source" "$rig_build" /run/pellan-rig
stop "checks ended with status $? (uptime $(cut -d' ' -f1 /proc/uptime) s)"
