#!/usr/bin/env bash
# Builds the Debian package with Debian's own tooling (dpkg-buildpackage, from a
# copy of the tree in build/deb/) and checks it with lintian, which must report
# no error and no warning. Prints the path of the .deb on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential debhelper dpkg-dev fakeroot lintian cmake pkgconf libfmt-dev libspdlog-dev libsystemd-dev)
scripts/install-deps.sh "${packages[@]}"

version=$(dpkg-parsechangelog -S Version)
rm -rf build/deb
source=build/deb/glowkeeper-$version
mkdir -p "$source"
tar -c --exclude='./build*' --exclude=./.git . | tar -x -C "$source"
(cd "$source" && dpkg-buildpackage -us -uc -b -j"$(nproc)") >build/deb/build.log 2>&1 ||
    { tail -40 build/deb/build.log; exit 1; }
changes=$(ls build/deb/glowkeeper_"$version"_*.changes)
lintian --fail-on error,warning "$changes"
ls build/deb/glowkeeper_"$version"_*.deb
