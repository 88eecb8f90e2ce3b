#!/usr/bin/env bash
# Installs Debian's cross compilers, the target libraries (multiarch) and
# qemu-user, then cross-builds arm64 and armhf into build-arm64/ and
# build-armhf/ and runs their unit tests under qemu-user.
# Usage: scripts/cross.sh [arm64|armhf ...]   (both when none is given)
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A triples=([arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(arm64 armhf)

packages=(cmake make pkg-config qemu-user)
for arch in "${arches[@]}"; do
    [ -n "${triples[$arch]:-}" ] || { echo "cross: unknown architecture $arch" >&2; exit 2; }
    packages+=("g++-${triples[$arch]}" "libspdlog-dev:$arch" "libsystemd-dev:$arch" "libgtest-dev:$arch")
done
# The target's libsystemd0 must match the build machine's version.
scripts/install-deps.sh "${packages[@]}"

for arch in "${arches[@]}"; do
    build="build-$arch"
    # The package's optimisation without debug information, which nobody
    # reads here and which makes the compile a third longer.
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/${triples[$arch]}.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
    cmake --build "$build" -j"$(nproc)"
    "${triples[$arch]}-readelf" -h "$build/glowkeeper" | grep Machine
    (cd "$build" && ctest --output-on-failure -j4 --timeout 300)
done
