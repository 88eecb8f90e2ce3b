#!/usr/bin/env bash
# Makes the VM test's three update artifacts in DIR, for the update module
# vm-test on device type vm: one that installs, one that fails in
# ArtifactInstall and one that has the client reboot the device.
# Usage: vm/client/artifacts.sh DIR
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh mender-artifact
dir=$1
mkdir -p "$dir"
head -c 200000 /dev/urandom >"$dir/payload"
for name in gk-success gk-failure gk-reboot; do
    mender-artifact write module-image -T vm-test -t vm -n "$name" -f "$dir/payload" \
        --compression none -o "$dir/$name.mender" >/dev/null
done
rm "$dir/payload"
