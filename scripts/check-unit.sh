#!/usr/bin/env bash
# Installs the build into a scratch root, then checks the installed unit with
# `systemd-analyze verify` (any message fails), its sysusers.d entry with
# systemd-sysusers, and scores the unit's sandbox, failing above 2.5.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/install-deps.sh systemd
scripts/build.sh >/dev/null

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install build --prefix /usr >/dev/null
unit=$(find "$root" -name glowkeeper.service)
# verify resolves the unit's dependencies (sysinit.target, ...) inside the root.
mkdir -p "$root/etc"
cp -rn /lib/systemd/system/. "$(dirname "$unit")/"

# Documentation= names the man page: verify looks it up among the installed files.
messages=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" glowkeeper.service 2>&1) || { echo "$messages"; exit 1; }
[ -z "$messages" ] || { echo "systemd-analyze verify complained:"; echo "$messages"; exit 1; }
echo "systemd-analyze verify: clean"

messages=$(systemd-sysusers --root="$root" --dry-run "$(find "$root" -path '*sysusers.d/glowkeeper.conf')" 2>&1) ||
    { echo "$messages"; exit 1; }
echo "sysusers.d entry: parses"

report=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>&1) || true
score=$(sed -n 's/.*Overall exposure level for glowkeeper.service: \([0-9.]*\).*/\1/p' <<<"$report")
[ -n "$score" ] || { echo "$report"; exit 1; }
echo "systemd-analyze security exposure: $score (limit 2.5)"
awk -v s="$score" 'BEGIN { exit !(s <= 2.5) }' || { echo "$report"; exit 1; }
