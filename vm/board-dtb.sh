#!/usr/bin/env bash
# Makes the device tree of a gateway board for the arm64 VM: QEMU's own tree
# for the virt machine as this command line builds it (the tree depends on
# the CPU, memory and processor count), with the gateway's LEDs of
# vm/board-leds.dtsi added.
# Usage: vm/board-dtb.sh OUT.dtb QEMU-COMMAND...
set -euo pipefail
out=$1
shift
scripts/install-deps.sh device-tree-compiler
"$@" -machine dumpdtb="$out.virt" >/dev/null 2>&1
# dtc warns about QEMU's own nodes; only errors count.
{ dtc -q -q -I dtb -O dts "$out.virt"; cat "$(dirname "$0")/board-leds.dtsi"; } | dtc -q -q -I dts -O dtb -o "$out"
rm "$out.virt"
