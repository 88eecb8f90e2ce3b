#!/usr/bin/env bash
# Installs the Debian packages that building, testing and simulating need,
# skipping those already present.
set -euo pipefail

packages=(g++ make cmake libspdlog-dev libfmt-dev libgtest-dev python3 iproute2 util-linux mount
          clang-format clang-tidy git dpkg-dev pkg-config libsystemd-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
