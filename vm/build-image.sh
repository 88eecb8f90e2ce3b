#!/usr/bin/env bash
# Builds the test VM's image for ARCH (amd64, arm64 or armhf; amd64 when none
# is given): a minimal Debian bookworm (mmdebstrap; a foreign architecture runs
# under qemu-user) with the current Debian kernel and the userspace-LED module
# uleds, which Debian's kernel leaves out and which is built here, cross for a
# foreign architecture, from Debian's kernel source and headers. From
# vm/image/ it gets the gateway before the package (stand-ins for its three
# services, its four LEDs through uleds) and the unit that runs the test at
# boot. The image is cached in build/vm/ARCH/<hash of its inputs>/; prints
# that folder.
# Usage: vm/build-image.sh [amd64|arm64|armhf]
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "vm: needs root: mmdebstrap and chroot build the VM's image" >&2; exit 1; }
arch=${1:-amd64}
native=$(dpkg --print-architecture)
declare -A triples=([amd64]=x86_64-linux-gnu [arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
triple=${triples[$arch]:-}
# armhf's flavour for the Cortex-A15 and later: its large physical addresses
# reach the devices the virt machine places above 4 GiB.
declare -A flavours=([amd64]=amd64 [arm64]=arm64 [armhf]=armmp-lpae)
flavour=${flavours[$arch]:-}
[ -n "$triple" ] || { echo "vm: unknown architecture $arch" >&2; exit 2; }

apt_install() {
    scripts/apt.sh install -y -qq --no-install-recommends "$@" >/dev/null
}
download() { (cd "$work" && "$OLDPWD/scripts/apt.sh" download -q -o APT::Sandbox::User=root "$@" >/dev/null); }

# The newest bookworm kernel may be in the security suite, which the bootstrap
# does not read: the host's apt picks it and its matching headers and source.
# The test installs the package in the guest: its libraries come with the image.
# The update client stays shadowed by its stand-in until the test starts it.
packages=systemd,systemd-sysv,udev,kmod,initramfs-tools,zstd,procps,python3,libspdlog1.10,libfmt9,mender-client,openssl
pick_kernel() {
    kernel=$(apt-cache depends "linux-image-$flavour:$arch" 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
    kernel=${kernel%:*}
    release=${kernel#linux-image-}
    version=$(apt-cache show --no-all-versions "$kernel:$arch" 2>/dev/null | awk '/^Version:/ {print $2}')
    key=$( (cat vm/build-image.sh vm/image/*.py vm/image/*.service; echo "$arch $kernel $version $packages") | sha256sum | cut -c1-16)
    out=build/vm/$arch/$key
}
pick_kernel
if [ -n "$kernel" ] && [ -f "$out/rootfs.img" ]; then
    echo "$out"
    exit 0
fi
[ "$arch" = "$native" ] || scripts/apt.sh --add-architecture "$arch"
scripts/apt.sh update -qq  # the lists may be older than the archive
pick_kernel
echo "vm: building image $arch/$key ($kernel $version)" >&2
rm -rf "build/vm/$arch"
work=build/vm/$arch/work
mkdir -p "$work" "$out"

tools=(mmdebstrap)
if [ "$arch" != "$native" ]; then
    tools+=(qemu-user-static arch-test "gcc-$triple")
    # The foreign root filesystem's programs run through binfmt_misc.
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
        mountpoint -q /proc/sys/fs/binfmt_misc  # mounted meanwhile by another architecture's build
fi
scripts/install-deps.sh "${tools[@]}"
[ "$(dpkg-query -W -f='${Version}' linux-source-6.1 2>/dev/null)" = "$version" ] &&
    [ "$(dpkg-query -W -f='${Version}' linux-kbuild-6.1 2>/dev/null)" = "$version" ] ||
    apt_install "linux-source-6.1=$version" "linux-kbuild-6.1=$version"
if [ "$arch" != "$native" ]; then
    qemu=${triple%%-*}
    [ -e "/proc/sys/fs/binfmt_misc/qemu-$qemu" ] ||
        grep -v '^#' "/usr/lib/binfmt.d/qemu-$qemu.conf" >/proc/sys/fs/binfmt_misc/register ||
        [ -e "/proc/sys/fs/binfmt_misc/qemu-$qemu" ]
fi

# uleds as an out-of-tree module for exactly this kernel. The target's headers
# are unpacked, never installed: installing a foreign architecture's headers
# would pull in its compiler and remove the build machine's. They lean on the
# build machine's linux-kbuild-6.1 and on their own absolute path.
download "$kernel:$arch=$version" "linux-headers-$release:$arch=$version" "linux-headers-${release%-"$flavour"}-common=$version"
headers=$PWD/$work/headers
for deb in "$work"/linux-headers-*.deb; do dpkg-deb -x "$deb" "$headers"; done
mkdir -p "$headers/usr/lib"
ln -s /usr/lib/linux-kbuild-6.1 "$headers/usr/lib/linux-kbuild-6.1"
sed -i "s|/usr/src/|$headers/usr/src/|" "$headers/usr/src/linux-headers-$release/Makefile"
mkdir "$work/uleds"
tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$work/uleds" --strip-components=3 linux-source-6.1/drivers/leds/uleds.c
echo 'obj-m := uleds.o' >"$work/uleds/Kbuild"
cross=""
[ "$arch" = "$native" ] || cross=$triple-
make -s -C "$headers/usr/src/linux-headers-$release" M="$PWD/$work/uleds" CROSS_COMPILE="$cross" modules \
    >"$work/uleds.log" 2>&1 || { cat "$work/uleds.log" >&2; exit 1; }
grep -v 'Skipping BTF' "$work/uleds.log" >&2 || true

root=$work/root
mmdebstrap --variant=minbase --architectures="$arch" --include="$packages" bookworm "$root" >"$work/bootstrap.log" 2>&1 ||
    { tail -20 "$work/bootstrap.log" >&2; exit 1; }
# A small initramfs: just what finds the root disk (virtio over PCI on amd64,
# over PCI or MMIO on the virt machine of arm64 and armhf).
sed -i 's/^MODULES=.*/MODULES=list/' "$root/etc/initramfs-tools/initramfs.conf"
printf '%s\n' virtio_mmio virtio_pci virtio_blk ext4 >>"$root/etc/initramfs-tools/modules"
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
