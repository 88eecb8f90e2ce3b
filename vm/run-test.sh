#!/usr/bin/env bash
# The real-system test: boots the test VM of each package's architecture
# (vm/build-image.sh; qemu emulates the CPU) with no network device at all,
# with a data disk carrying the package and vm/guest-test.sh, which installs
# and checks it and writes its results to a third disk. Prints them; fails
# unless every check passed. Several architectures boot at the same time.
# arm64 also boots a board: the virt machine with the gateway's LEDs in its
# device tree (vm/board-dtb.sh), the daemon started at boot (vm/guest-board.sh).
# Usage: vm/run-test.sh [amd64|arm64|arm64-board|armhf|PACKAGE.deb ...]
#   (default amd64; an architecture tests what scripts/package.sh built for it)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] ||
    { echo "vm: needs root: mmdebstrap and chroot build the VM's image, apt-get installs qemu" >&2; exit 1; }
[ $# -gt 0 ] || set -- amd64

# Makes the package (when missing), the image and the data disk for one run;
# sets run to its folder.
prepare() {
    local arch deb image board=""
    [ "$1" != arm64-board ] || { board=board; set -- arm64; }
    case $1 in
    *.deb) deb=$1 arch=$(dpkg-deb -f "$1" Architecture) ;;
    *) arch=$1 deb=$(ls build/deb/glowkeeper_*_"$1".deb 2>/dev/null || true) ;;
    esac
    case $arch in
    amd64) scripts/install-deps.sh qemu-system-x86 ;;
    arm64 | armhf) scripts/install-deps.sh qemu-system-arm ;;
    *) echo "vm: no VM for architecture $arch" >&2; exit 2 ;;
    esac
    [ -n "$deb" ] || deb=$(scripts/package.sh "$arch" | tail -1)
    image=$(vm/build-image.sh "$arch")
    run=build/vm-run/$arch${board:+-$board}
    rm -rf "$run"
    mkdir -p "$run/data"
    cp vm/guest-*.sh "$run/data/"
    cp "$deb" "$run/data/glowkeeper.deb"
    # The same tree as a newer version, for the upgrade while running.
    next=$(ls build/deb/next/glowkeeper_*_"$arch".deb 2>/dev/null || scripts/package.sh --next "$arch" | tail -1)
    cp "$next" "$run/data/glowkeeper-next.deb"
    # The real update client's deployments, on the architectures VM_CLIENT names.
    if [[ " ${VM_CLIENT-amd64} " == *" $arch "* ]]; then
        cp -r vm/client "$run/data/"
        vm/client/artifacts.sh "$run/data/client/artifacts"
    fi
    tar -cf "$run/data.tar" -C "$run/data" .
    truncate -s 64M "$run/results.img"
    echo "$arch $image $board" >"$run/vm"
}

boot() {  # boot RUN
    local arch image board qemu console options=(-no-reboot) append=""
    read -r arch image board <"$1/vm"
    case $arch in
    amd64) qemu=(qemu-system-x86_64 -cpu max) console=ttyS0 ;;
    # Pointer authentication with QEMU's own cipher: the architected one
    # makes the emulated boot four times as long.
    arm64) qemu=(qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on) console=ttyAMA0 ;;
    armhf) qemu=(qemu-system-arm -M virt -cpu cortex-a15) console=ttyAMA0 ;;
    esac
    qemu+=(-nodefaults -nic none -smp 2 -m 1G -display none)
    if [ -n "$board" ]; then
        # The guest installs the package and reboots once (the disk's
        # snapshot lasts as long as qemu); the uleds LEDs stay off.
        vm/board-dtb.sh "$1/board.dtb" "${qemu[@]}"
        options=(-dtb "$1/board.dtb")
        append=" systemd.mask=leds.service trace_event=gpio:gpio_value trace_options=record-tgid"
    fi
    echo "vm: booting $arch${board:+ $board} (console in $1/console.log)"
    timeout 1500 "${qemu[@]}" "${options[@]}" \
        -serial "file:$1/console.log" \
        -kernel "$image/vmlinuz" -initrd "$image/initrd.img" -append "root=/dev/vda console=$console panic=-1 quiet$append" \
        -drive "file=$image/rootfs.img,format=raw,if=virtio,snapshot=on" \
        -drive "file=$1/data.tar,format=raw,if=virtio,readonly=on" \
        -drive "file=$1/results.img,format=raw,if=virtio" || echo "vm: $arch: qemu failed or timed out"
}

report() {  # report RUN
    if ! tar -xf "$1/results.img" -C "$1" 2>/dev/null || [ ! -f "$1/results/summary.txt" ]; then
        echo "vm: $1: no results; the end of the console:"
        tail -40 "$1/console.log"
        return 1
    fi
    cat "$1/results/summary.txt"
    grep -q '^vm-test: [0-9]* passed, 0 failed$' "$1/results/summary.txt"
}

runs=()
targets=()
for target in "$@"; do
    targets+=("$target")
    [ "$target" != arm64 ] || targets+=(arm64-board)
done
for target in "${targets[@]}"; do
    prepare "$target"
    runs+=("$run")
done
for run in "${runs[@]}"; do boot "$run" & done
wait
status=0
for run in "${runs[@]}"; do report "$run" || status=1; done
exit $status
