#!/usr/bin/env bash
# Builds the Debian package for ARCH (the build machine's when none is given;
# arm64 or armhf cross-build) with Debian's own tooling: its build
# dependencies from debian/control (apt-get build-dep -a ARCH), then
# dpkg-buildpackage -a ARCH from a copy of the tree in build/deb/ARCH/.
# lintian must report no error and no warning. The .deb lands in build/deb/;
# its path is printed on the last line. Every page shipped in
# /usr/share/doc/glowkeeper must be readable there: uncompressed, its links
# leading to what the package ships.
# --next repacks that package (built first when missing) as a newer version,
# with a changelog entry of its own, into build/deb/next/: the same files,
# for the VM test's upgrade.
# Usage: scripts/package.sh [--next] [ARCH]
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(dpkg --print-architecture)
if [ "${1:-}" = --next ]; then
    arch=${2:-$native}
    scripts/install-deps.sh dpkg-dev
    version=$(dpkg-parsechangelog -S Version)
    deb=$(ls "build/deb/glowkeeper_${version}_$arch.deb" 2>/dev/null || "$0" "$arch" | tail -1)
    version=$version+next
    work=build/deb/next/$arch
    rm -rf "$work" build/deb/next/glowkeeper_*_"$arch".deb
    mkdir -p "$work"
    dpkg-deb -R "$deb" "$work/root"
    sed -i "s/^Version: .*/Version: $version/" "$work/root/DEBIAN/control"
    changelog=$work/root/usr/share/doc/glowkeeper/changelog.gz  # a native package's
    { printf 'glowkeeper (%s) %s; urgency=medium\n\n  * The same files as a newer version, for the upgrade test.\n\n -- %s  %s\n\n' \
        "$version" "$(dpkg-parsechangelog -S Distribution)" "$(dpkg-parsechangelog -S Maintainer)" "$(date -R)"
      zcat "$changelog"; } | gzip -9n >"$changelog.new"
    mv "$changelog.new" "$changelog"
    (cd "$work/root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
        >"$work/root/DEBIAN/md5sums"
    dpkg-deb --root-owner-group -Zxz -b "$work/root" "build/deb/next/glowkeeper_${version}_$arch.deb" >/dev/null
    echo "build/deb/next/glowkeeper_${version}_$arch.deb"
    exit 0
fi
arch=${1:-$native}

tools=(dpkg-dev debhelper fakeroot lintian)
[ "$arch" = "$native" ] && tools+=(build-essential) || tools+=("crossbuild-essential-$arch")
scripts/install-deps.sh "${tools[@]}"

version=$(dpkg-parsechangelog -S Version)
out=build/deb
work=$out/$arch
rm -rf "$work" "$out"/glowkeeper_*_"$arch".deb
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
    [ "$arch" = "$native" ] || scripts/apt.sh --add-architecture "$arch"
    scripts/apt.sh update -qq
    apt=$PWD/scripts/apt.sh
    (cd "$source" && "$apt" build-dep -y -qq --no-install-recommends -a "$arch" ./ >/dev/null)
fi

(cd "$source" && dpkg-buildpackage -a "$arch" -us -uc -b -j"$(nproc)") >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; exit 1; }
lintian --fail-on error,warning "$work/glowkeeper_${version}_$arch.changes"
deb=$out/glowkeeper_${version}_$arch.deb
mv "$work/glowkeeper_${version}_$arch.deb" "$deb"

# A page's links must resolve in /usr/share/doc/glowkeeper as they do in
# docs/: dh_compress renames pages and leaves out nothing it is not given.
shipped=$work/shipped
dpkg-deb -x "$deb" "$shipped"
doc=$shipped/usr/share/doc/glowkeeper
pages=$(find "$doc" -name '*.md')
[ -n "$pages" ] ||
    { echo "package: no page in /usr/share/doc/glowkeeper uncompressed: the links between them lead nowhere" >&2; exit 1; }
broken=""
for page in $pages; do
    for target in $(grep -oP '\]\(\K[^)\s]+(?=\))' "$page" | grep -Ev '^([a-z]+:|#)' | sed 's/#.*//' | sort -u); do
        [ -e "$(dirname "$page")/$target" ] || broken+=" ${page#"$doc"/}:$target"
    done
done
[ -z "$broken" ] || { echo "package: links in /usr/share/doc/glowkeeper that lead nowhere:$broken" >&2; exit 1; }
echo "$deb"
