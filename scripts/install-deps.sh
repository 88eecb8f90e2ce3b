#!/usr/bin/env bash
# Installs the Debian packages that building, testing and simulating need,
# skipping those already present.
set -euo pipefail

# python3-rich draws the simulator's live view, python3-matplotlib the timeline pictures.
packages=(g++ make cmake libspdlog-dev libfmt-dev libgtest-dev python3 python3-rich python3-matplotlib iproute2
          util-linux mount clang-format clang-tidy git dpkg-dev pkg-config libsystemd-dev)
# A cross build's arm64 or armhf copy of a library does not count: only the
# build machine's own architecture (or arch-independent packages) does.
native=$(dpkg --print-architecture)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Architecture} ${Status}\n' "$package" 2>/dev/null |
        grep -Eq "^($native|all) install ok installed" || missing+=("$package:$native")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
