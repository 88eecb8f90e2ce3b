#!/usr/bin/env bash
# The real-system test: boots the test VM of the package's architecture
# (vm/build-image.sh; qemu emulates the CPU) with no network device at all,
# with a data disk carrying the package and vm/guest-test.sh, which installs
# and checks it and writes its results to a third disk. Prints them; fails
# unless every check passed. Runs of different architectures may run at once.
# Usage: vm/run-test.sh [amd64|arm64|PACKAGE.deb]
#   (default amd64; an architecture tests what scripts/package.sh built for it)
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-amd64} in
*.deb) deb=$1 arch=$(dpkg-deb -f "$deb" Architecture) ;;
*) arch=${1:-amd64} deb=$(ls build/deb/glowkeeper_*_"$arch".deb 2>/dev/null | tail -1) ;;
esac
case $arch in
amd64)
    qemu=(qemu-system-x86_64 -cpu max) qemu_package=qemu-system-x86 console=ttyS0 ;;
arm64)
    # Pointer authentication with QEMU's own cipher: the architected one
    # costs four times the boot time under emulation.
    qemu=(qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on) qemu_package=qemu-system-arm console=ttyAMA0 ;;
*) echo "vm: no VM for architecture $arch" >&2; exit 2 ;;
esac
[ -n "$deb" ] || deb=$(scripts/package.sh "$arch" | tail -1)

scripts/install-deps.sh "$qemu_package"
image=$(vm/build-image.sh "$arch")

run=build/vm-run/$arch
rm -rf "$run"
mkdir -p "$run/data"
cp vm/guest-test.sh "$run/data/"
cp "$deb" "$run/data/glowkeeper.deb"
tar -cf "$run/data.tar" -C "$run/data" .
truncate -s 64M "$run/results.img"

echo "vm: booting $arch (console in $run/console.log)"
timeout 900 "${qemu[@]}" -nodefaults -nic none -smp 2 -m 1G -display none -no-reboot \
    -serial "file:$run/console.log" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" -append "root=/dev/vda console=$console panic=-1 quiet" \
    -drive "file=$image/rootfs.img,format=raw,if=virtio,snapshot=on" \
    -drive "file=$run/data.tar,format=raw,if=virtio,readonly=on" \
    -drive "file=$run/results.img,format=raw,if=virtio" || echo "vm: qemu failed or timed out"

if ! tar -xf "$run/results.img" -C "$run" 2>/dev/null || [ ! -f "$run/results/summary.txt" ]; then
    echo "vm: no results; the end of the console:"
    tail -40 "$run/console.log"
    exit 1
fi
cat "$run/results/summary.txt"
grep -q '^vm-test: [0-9]* passed, 0 failed$' "$run/results/summary.txt"
