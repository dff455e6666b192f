#!/usr/bin/env bash
# The real-USB rig: the programs users run, linked to the system's hidapi,
# tested through a real kernel's USB stack.
#
#   tests/usb/rig.sh BUILD-DIR
#
# Boots Debian's own kernel (linux-image-amd64, fetched with apt-get download
# and cached in BUILD-DIR/usb-rig/kernel) in QEMU, with this machine's root
# read-only over 9p, and runs tests/usb/guest.py inside: virtual Orvane
# adapters made by the kernel's USB gadget framework on dummy_hcd, answered
# by pellan-usb-gadget, in front of pellan-i2c-cli, the Python package and the
# window. The guest's console is left in BUILD-DIR/usb-rig/guest.log, the
# checks in BUILD-DIR/usb-rig/results.tap.
#
# Exit status: 0 when every check passed, 1 when one failed or the rig could
# not run (the reason is printed), 77 when skipped with PELLAN_SKIP_USB_RIG=1.
# Every run ends by itself: the guest powers off after PELLAN_USB_RIG_TIMEOUT
# seconds (300 by default), and the VM is killed 30 s after that.
#
# PELLAN_USB_RIG_KVM=off never tries KVM; otherwise KVM is used when
# /dev/kvm can be opened and the guest boots with it within 20 s (else TCG).
set -euo pipefail

if [ "${PELLAN_SKIP_USB_RIG:-}" = 1 ]; then
    echo "usb rig: skipped (PELLAN_SKIP_USB_RIG=1)"
    exit 77
fi
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    sed -n '4,5p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi

here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
rig="$build/usb-rig"
guest_timeout="${PELLAN_USB_RIG_TIMEOUT:-300}"
kvm_boot_seconds=20
started=$SECONDS

fail() {
    echo "usb rig: FAILED: $*" >&2
    exit 1
}

for tool in qemu-system-x86_64 busybox dpkg-deb apt-get apt-cache depmod modprobe \
    /usr/bin/python3 timeout; do
    command -v "$tool" >/dev/null || fail "$tool is missing (./pellan installs it)"
done
case "$here$build" in
*[[:space:]]*)
    fail "the source and build folders must not contain blanks:" \
        "the guest reads them from the kernel's command line"
    ;;
esac
for program in app/pellan-i2c cli/pellan-i2c-cli cli/pellan-i2c-cli-demo tests/usb/pellan-usb-gadget; do
    [ -x "$build/$program" ] || fail "$build/$program is not built"
done
mkdir -p "$rig/kernel"

# ---- The kernel: Debian's current linux-image-amd64, cached -------------------

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

package=$(kernel_package)
if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    package=$(kernel_package)
fi
cached=""
if [ -n "$package" ]; then
    version=$(apt-cache show --no-all-versions "$package" 2>/dev/null | awk '/^Version:/ { print $2; exit }')
    cached="$rig/kernel/${package}_$version"
fi
if [ -z "$cached" ] || [ ! -e "$cached/ready" ]; then
    if [ -n "$cached" ]; then
        echo "usb rig: fetching $package $version"
        rm -rf "$cached"
        mkdir -p "$cached/root"
        sandbox=()
        # apt's download user can not write into a root-owned build folder.
        [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
        if (cd "$cached" && apt-get download -qq "${sandbox[@]}" "$package=$version" >/dev/null); then
            deb=$(echo "$cached"/*.deb)
            dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$cached/root" --wildcards \
                './boot/vmlinuz-*' './lib/modules/*/modules.builtin*' './lib/modules/*/modules.order' \
                './lib/modules/*/kernel/drivers/hid/*' './lib/modules/*/kernel/drivers/usb/*' \
                './lib/modules/*/kernel/drivers/i2c/*' './lib/modules/*/kernel/drivers/virtio/*' \
                './lib/modules/*/kernel/fs/9p/*' './lib/modules/*/kernel/fs/netfs/*' \
                './lib/modules/*/kernel/fs/fscache/*' './lib/modules/*/kernel/fs/configfs/*' \
                './lib/modules/*/kernel/net/9p/*'
            rm -f "$deb"
            kver=$(ls "$cached/root/lib/modules")
            depmod -b "$cached/root" "$kver"
            # The decompressed kernel boots without decompressing itself, which
            # takes half a minute under emulation.
            /usr/bin/python3 "$here/tests/usb/unpackkernel.py" "$cached/root/boot/vmlinuz-$kver" "$cached/vmlinux" ||
                cp "$cached/root/boot/vmlinuz-$kver" "$cached/vmlinux"
            touch "$cached/ready"
            # One kernel is enough.
            for old in "$rig/kernel"/*; do
                [ "$old" = "$cached" ] || rm -rf "$old"
            done
        else
            rm -rf "$cached"
            cached=""
        fi
    fi
    if [ -z "$cached" ]; then
        # No network or no package lists: an earlier download will do.
        for old in "$rig/kernel"/*; do
            [ -e "$old/ready" ] && cached=$old
        done
        [ -n "$cached" ] || fail "cannot fetch Debian's kernel package linux-image-amd64" \
            "(apt-get download needs the package lists and the network)"
        echo "usb rig: using the cached kernel $(basename "$cached")"
    fi
fi
kver=$(ls "$cached/root/lib/modules")
modules="$cached/root"

# ---- The initramfs: busybox, the modules for the host's root, /init -------------

busybox=$(command -v busybox)
if ldd "$busybox" >/dev/null 2>&1; then
    fail "$busybox is linked dynamically; the initramfs needs busybox-static"
fi
initramfs="$rig/initramfs"
rm -rf "$initramfs"
mkdir -p "$initramfs/bin" "$initramfs/modules"
cp "$busybox" "$initramfs/bin/busybox"
cp "$here/tests/usb/init.sh" "$initramfs/init"
chmod 755 "$initramfs/init"
: >"$initramfs/modules/order"
for module in $(modprobe -d "$cached/root" -S "$kver" --show-depends -a virtio_pci 9pnet_virtio 9p |
    awk '$1 == "insmod" { print $2 }'); do
    name=$(basename "$module")
    grep -qx "$name" "$initramfs/modules/order" && continue
    cp "$module" "$initramfs/modules/"
    echo "$name" >>"$initramfs/modules/order"
done
(cd "$initramfs" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$rig/initramfs.cpio.gz"

# ---- The VM -----------------------------------------------------------------------

out="$rig/out"
log="$rig/guest.log"
rm -rf "$out"
mkdir -p "$out"
rm -f "$log" "$rig/results.tap"
# What the demo programs print does not depend on the kernel: it is worked
# out here, natively, and the guest runs only the real programs.
/usr/bin/python3 "$here/tests/usb/guest.py" --expect "$here" "$build" "$out" ||
    fail "cannot work out what the demo programs print"

firmware=()
# qboot starts a kernel in a fraction of SeaBIOS's time.
[ -e /usr/share/qemu/qboot.rom ] && firmware=(-bios /usr/share/qemu/qboot.rom)
cmdline="console=ttyS0 quiet loglevel=3 panic=-1 mitigations=off random.trust_cpu=on"
cmdline+=" pellan.source=$here pellan.build=$build pellan.modules=$modules pellan.timeout=$guest_timeout"
[ -z "${PELLAN_USB_RIG_ONLY:-}" ] || cmdline+=" pellan.only=$PELLAN_USB_RIG_ONLY"
vm=(qemu-system-x86_64 -machine pc "${firmware[@]}" -m 1536 -smp 2
    -display none -vga none -nic none -monitor none -no-reboot -serial "file:$log"
    -kernel "$cached/vmlinux" -initrd "$rig/initramfs.cpio.gz" -append "$cmdline"
    -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$here,mount_tag=source,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$build,mount_tag=build,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$out,mount_tag=out,security_model=none,multidevs=remap")

# run_vm <accelerator arguments...>: runs the VM in the background; its
# process id in vm_pid.
run_vm() {
    : >"$log"
    timeout -k 5 $((guest_timeout + 30)) "${vm[@]}" "$@" 2>"$rig/qemu.err" &
    vm_pid=$!
}

accelerator="TCG"
use_kvm=0
if [ "${PELLAN_USB_RIG_KVM:-auto}" != off ] && [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    # Some hosts offer /dev/kvm whose guests hang at boot: the guest must
    # reach its init within the bound, else TCG takes over.
    run_vm -accel kvm -cpu host
    for _ in $(seq $((kvm_boot_seconds * 10))); do
        grep -q "pellan-rig: init" "$log" 2>/dev/null && break
        kill -0 "$vm_pid" 2>/dev/null || break
        sleep 0.1
    done
    if grep -q "pellan-rig: init" "$log" 2>/dev/null; then
        use_kvm=1
        accelerator="KVM"
    elif kill "$vm_pid" 2>/dev/null; then
        wait "$vm_pid" 2>/dev/null || true
        echo "usb rig: KVM did not boot the guest within $kvm_boot_seconds s; using TCG"
    else
        wait "$vm_pid" 2>/dev/null || true
        echo "usb rig: KVM could not start the guest ($(tail -n 1 "$rig/qemu.err")); using TCG"
    fi
fi
if [ "$use_kvm" -eq 0 ]; then
    run_vm -accel tcg,thread=multi -cpu qemu64,+rdrand
fi
echo "usb rig: $kver under $accelerator, guest log $log"
status=0
wait "$vm_pid" || status=$?
cp "$out/results.tap" "$rig/results.tap" 2>/dev/null || true

# ---- The verdict -----------------------------------------------------------------

tap="$rig/results.tap"
passed=0 failed=0 expected=0 unexpected=0
if [ -e "$tap" ]; then
    cat "$tap"
    passed=$(grep '^ok ' "$tap" | grep -vc '# TODO' || true)
    unexpected=$(grep '^ok ' "$tap" | grep -c '# TODO' || true)
    expected=$(grep '^not ok ' "$tap" | grep -c '# TODO' || true)
    failed=$(grep '^not ok ' "$tap" | grep -vc '# TODO' || true)
fi
seconds=$((SECONDS - started))
problem=""
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    problem="the VM did not power off within $((guest_timeout + 30)) s and was killed"
elif grep -q "pellan-rig: watchdog" "$log"; then
    problem="the guest's watchdog powered it off after $guest_timeout s: a check hung"
elif [ "$status" -ne 0 ]; then
    problem="QEMU ended with status $status: $(tail -n 3 "$rig/qemu.err" | tr '\n' ' ')"
elif ! grep -q '^# done' "$tap" 2>/dev/null; then
    problem="the guest ended before its checks did: $(grep 'pellan-rig:' "$log" | tail -n 1)"
fi
echo "usb rig: $passed passed, $failed failed, $expected expected failures, in $seconds s ($accelerator)"
if [ "$unexpected" -gt 0 ]; then
    echo "usb rig: $unexpected checks marked as expected to fail now pass: drop their TODO"
    passed=$((passed + unexpected))
fi
if [ -n "$problem" ] || [ "$failed" -gt 0 ] || [ "$passed" -eq 0 ]; then
    [ -z "$problem" ] || echo "usb rig: FAILED: $problem" >&2
    echo "usb rig: the guest's log: $log" >&2
    exit 1
fi
