#!/usr/bin/env bash
# Builds the test VM's image: a minimal Debian bookworm (debootstrap) with the
# current Debian kernel and the userspace-LED module uleds, which Debian's
# kernel leaves out and which is built here from Debian's kernel source. From
# vm/image/ it gets the gateway before the package (stand-ins for its three
# services, its four LEDs through uleds) and the unit that runs the test at
# boot. The image is cached in build/vm/<hash of its inputs>/; prints that folder.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "vm: needs root: debootstrap and chroot build the VM's image" >&2; exit 1; }

apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -o DPkg::Lock::Timeout=600 -y -qq --no-install-recommends "$@" >/dev/null
}

# The newest bookworm kernel may be in the security suite, which debootstrap
# does not read: the host's apt picks it and its matching headers and source.
# The test installs the package in the guest: its libraries come with the image.
packages=systemd,systemd-sysv,udev,kmod,initramfs-tools,zstd,procps,python3,libspdlog1.10,libfmt9
pick_kernel() {
    kernel=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
    release=${kernel#linux-image-}
    version=$(apt-cache show --no-all-versions "$kernel" 2>/dev/null | awk '/^Version:/ {print $2}')
    key=$( (cat vm/build-image.sh vm/image/*.py vm/image/*.service; echo "$kernel $version $packages") | sha256sum | cut -c1-16)
    out=build/vm/$key
}
pick_kernel
if [ -n "$kernel" ] && [ -f "$out/rootfs.img" ]; then
    echo "$out"
    exit 0
fi
apt-get update -qq  # the lists may be older than the archive
pick_kernel
echo "vm: building image $key ($kernel $version)" >&2
rm -rf build/vm
work=build/vm/work
command -v debootstrap >/dev/null || apt_install debootstrap
mkdir -p "$work" "$out"

[ -d "/usr/src/linux-headers-$release" ] && [ "$(dpkg-query -W -f='${Version}' linux-source-6.1 2>/dev/null)" = "$version" ] ||
    apt_install "linux-headers-$release=$version" "linux-source-6.1=$version"
(cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$kernel=$version" >/dev/null)

# uleds as an out-of-tree module for exactly this kernel.
mkdir "$work/uleds"
tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$work/uleds" --strip-components=3 linux-source-6.1/drivers/leds/uleds.c
echo 'obj-m := uleds.o' >"$work/uleds/Kbuild"
make -s -C "/usr/src/linux-headers-$release" M="$PWD/$work/uleds" modules 2>&1 | grep -v 'Skipping BTF' >&2 || true

root=$work/root
debootstrap --variant=minbase --include="$packages" bookworm "$root" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log" >&2; exit 1; }
# A small initramfs: just what finds the root disk.
sed -i 's/^MODULES=.*/MODULES=list/' "$root/etc/initramfs-tools/initramfs.conf"
printf '%s\n' virtio_pci virtio_blk ext4 >>"$root/etc/initramfs-tools/modules"
cp "$work/${kernel}_"*.deb "$root/tmp/kernel.deb"
chroot "$root" dpkg -i /tmp/kernel.deb >"$work/kernel.log" 2>&1 || { tail -20 "$work/kernel.log" >&2; exit 1; }
rm "$root/tmp/kernel.deb"
install -D -m 644 "$work/uleds/uleds.ko" "$root/usr/lib/modules/$release/extra/uleds.ko"
chroot "$root" depmod "$release"

echo vm >"$root/etc/hostname"
echo '/dev/vda / ext4 rw 0 1' >"$root/etc/fstab"
install -m 755 vm/image/leds.py "$root/usr/local/bin/leds"
install -m 644 vm/image/*.service "$root/etc/systemd/system/"
chroot "$root" systemctl enable $(cd vm/image && echo *.service) >/dev/null 2>&1
chroot "$root" apt-get clean

cp "$root/boot/vmlinuz-$release" "$out/vmlinuz"
cp "$root/boot/initrd.img-$release" "$out/initrd.img"
mkfs.ext4 -q -d "$root" -L root "$out/rootfs.img" 2G >/dev/null
rm -rf "$work"
echo "$out"
