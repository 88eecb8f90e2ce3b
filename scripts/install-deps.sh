#!/usr/bin/env bash
# Installs Debian packages that are missing. With no argument: what building,
# testing and simulating need. With arguments: those packages instead, each
# NAME (the build machine's architecture) or NAME:ARCH (multiarch, for cross
# builds; that architecture is added to dpkg when needed). Without root it
# installs nothing: it names what is missing and the command that installs
# it, and fails, so that the calling script stops before building.
set -euo pipefail

# python3-rich draws the simulator's live view, python3-matplotlib the timeline pictures.
packages=(g++ make cmake libspdlog-dev libfmt-dev libgtest-dev python3 python3-rich python3-matplotlib iproute2
          util-linux mount clang-format clang-tidy git dpkg-dev pkg-config libsystemd-dev)
[ $# -eq 0 ] || packages=("$@")
# A cross build's arm64 or armhf copy of a library does not count for the
# build machine, and the other way round.
native=$(dpkg --print-architecture)
missing=()
arches=()
for package in "${packages[@]}"; do
    name=${package%%:*}
    arch=${package#"$name"}
    arch=${arch#:}
    arch=${arch:-$native}
    dpkg-query -W -f='${Architecture} ${Status}\n' "$name" 2>/dev/null |
        grep -Eq "^($arch|all) install ok installed" || missing+=("$name:$arch")
    [ "$arch" = "$native" ] || dpkg --print-foreign-architectures | grep -qx "$arch" || arches+=("$arch")
done
[ ${#missing[@]} -gt 0 ] || exit 0
if [ "$(id -u)" -ne 0 ]; then
    # Installing needs root; nothing is asked for or built without it.
    command=""
    for arch in $(printf '%s\n' "${arches[@]}" | sort -u); do
        command+="dpkg --add-architecture $arch && "
    done
    echo "missing Debian packages: ${missing[*]%:"$native"}; install them as root, then run this again:" \
        "${command}apt-get update && apt-get install --no-install-recommends ${missing[*]%:"$native"}" >&2
    exit 1
fi
for arch in "${arches[@]}"; do
    "$(dirname "$0")/apt.sh" --add-architecture "$arch"
done
"$(dirname "$0")/apt.sh" update -qq
"$(dirname "$0")/apt.sh" install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
