#!/usr/bin/env bash
# The real-system test: boots the test VM (vm/build-image.sh) under qemu with
# no network device at all, with a data disk carrying the package and
# vm/guest-test.sh, which installs and checks it and writes its results to a
# third disk. Prints them; fails unless every check passed.
# Usage: vm/run-test.sh [PACKAGE.deb]   (default: what scripts/package.sh built)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] ||
    { echo "vm: needs root: debootstrap and chroot build the VM's image, apt-get installs qemu" >&2; exit 1; }
deb=${1:-$(ls build/deb/glowkeeper_*.deb 2>/dev/null | tail -1)}
[ -n "$deb" ] || deb=$(scripts/package.sh | tail -1)

command -v qemu-system-x86_64 >/dev/null ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -o DPkg::Lock::Timeout=600 \
        -y -qq --no-install-recommends qemu-system-x86 >/dev/null; }
image=$(vm/build-image.sh)

run=build/vm-run
rm -rf "$run"
mkdir -p "$run/data"
cp vm/guest-test.sh "$run/data/"
cp "$deb" "$run/data/glowkeeper.deb"
tar -cf "$run/data.tar" -C "$run/data" .
truncate -s 64M "$run/results.img"

echo "vm: booting (console in $run/console.log)"
timeout 900 qemu-system-x86_64 -nodefaults -nic none -cpu max -smp 2 -m 1G -display none -no-reboot \
    -serial "file:$run/console.log" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" -append "root=/dev/vda console=ttyS0 panic=-1 quiet" \
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
