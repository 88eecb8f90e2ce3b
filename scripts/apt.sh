#!/usr/bin/env bash
# apt-get, and dpkg's architecture list, one at a time: CI builds packages
# and VM images beside the tests, and neither apt-get update nor
# dpkg --add-architecture waits for another's lock.
# Usage: scripts/apt.sh APT-GET-ARGUMENTS... | scripts/apt.sh --add-architecture ARCH
set -euo pipefail
lock=/run/lock/glowkeeper-apt
if [ "${1:-}" = --add-architecture ]; then
    dpkg --print-foreign-architectures | grep -qx "$2" || exec flock "$lock" dpkg --add-architecture "$2"
    exit 0
fi
exec flock "$lock" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
