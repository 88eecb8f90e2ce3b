#!/usr/bin/env bash
# Debian's own package tester on the amd64 package (or PACKAGE.deb): piuparts
# installs it with its dependencies in a bookworm chroot, removes and purges
# it, and fails on errors of the maintainer scripts and on files left behind.
# A check of ours runs after each install: the tools the unit, the udev rule
# and the postinst call must have come with the dependencies. The chroot
# starts from a minimal bookworm (mmdebstrap), cached in build/piuparts/ for a
# week. Its dependencies' own leftovers after their purge (systemd leaves
# folders such as /var/lib/private) are warnings, not failures: piuparts
# installs them first and holds the package alone to a clean purge. The
# upgrade test needs an older version in an archive: there is none.
# No service starts in the chroot (no systemd runs there; piuparts forbids
# starts), so the daemon and its probe never run.
# Usage: scripts/piuparts.sh [PACKAGE.deb]
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "piuparts: needs root: it builds and enters a chroot" >&2; exit 1; }
scripts/install-deps.sh piuparts mmdebstrap
deb=${1:-$(ls build/deb/glowkeeper_*_amd64.deb 2>/dev/null || scripts/package.sh amd64 | tail -1)}

work=build/piuparts
base=$work/bookworm-amd64.tgz
mkdir -p "$work"
if [ -z "$(find "$base" -mtime -7 2>/dev/null)" ]; then
    mmdebstrap --variant=minbase --architectures=amd64 bookworm "$work/new.tgz" >"$work/bootstrap.log" 2>&1 ||
        { tail -20 "$work/bootstrap.log" >&2; exit 1; }
    mv "$work/new.tgz" "$base"
fi

scripts=$work/scripts
rm -rf "$scripts"
mkdir -p "$scripts"
cat >"$scripts/post_install_tools" <<'EOF'
#!/bin/sh
# The unit runs journalctl, the udev rule systemctl, the postinst udevadm.
for tool in journalctl systemctl udevadm; do
    command -v "$tool" >/dev/null || { echo "installed without $tool"; exit 1; }
done
EOF
chmod +x "$scripts/post_install_tools"
rm -f "$work/piuparts.log"

piuparts --distribution=bookworm --basetgz="$base" --scriptsdir="$scripts" --no-upgrade-test --warn-on-others \
    --log-file="$work/piuparts.log" "$deb" >/dev/null ||
    { grep -E 'ERROR|FAIL|installed without' "$work/piuparts.log" | tail -20 >&2; exit 1; }
echo "piuparts: $(basename "$deb"): install, remove and purge clean"
