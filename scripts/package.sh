#!/usr/bin/env bash
# Builds the Debian package for ARCH (the build machine's when none is given;
# arm64 or armhf cross-build) with Debian's own tooling: its build
# dependencies from debian/control (apt-get build-dep -a ARCH), then
# dpkg-buildpackage -a ARCH from a copy of the tree in build/deb/ARCH/.
# lintian must report no error and no warning. The .deb lands in build/deb/;
# its path is printed on the last line.
# Usage: scripts/package.sh [ARCH]
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(dpkg --print-architecture)
arch=${1:-$native}

tools=(dpkg-dev debhelper fakeroot lintian)
[ "$arch" = "$native" ] && tools+=(build-essential) || tools+=("crossbuild-essential-$arch")
scripts/install-deps.sh "${tools[@]}"

version=$(dpkg-parsechangelog -S Version)
work=build/deb/$arch
rm -rf "$work" build/deb/glowkeeper_*_"$arch".deb
source=$work/glowkeeper-$version
mkdir -p "$source"
tar -c --exclude='./build*' --exclude=./.git . | tar -x -C "$source"

# Build-Depends are the one list of what the build needs: the target's
# libraries (multiarch) and the build machine's tools.
if ! (cd "$source" && dpkg-checkbuilddeps -a "$arch" 2>/dev/null); then
    if [ "$(id -u)" -ne 0 ]; then
        add=""
        [ "$arch" = "$native" ] || add="dpkg --add-architecture $arch && "
        echo "package: build dependencies for $arch missing; install them as root, then run this again:" \
            "${add}apt-get update && apt-get build-dep -a $arch $PWD" >&2
        exit 1
    fi
    [ "$arch" = "$native" ] || dpkg --add-architecture "$arch"
    scripts/apt.sh update -qq
    apt=$PWD/scripts/apt.sh
    (cd "$source" && "$apt" build-dep -y -qq --no-install-recommends -a "$arch" ./ >/dev/null)
fi

(cd "$source" && dpkg-buildpackage -a "$arch" -us -uc -b -j"$(nproc)") >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; exit 1; }
lintian --fail-on error,warning "$work/glowkeeper_${version}_$arch.changes"
mv "$work/glowkeeper_${version}_$arch.deb" build/deb/
echo "build/deb/glowkeeper_${version}_$arch.deb"
