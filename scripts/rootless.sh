#!/usr/bin/env bash
# Plays scenarios as the ordinary user nobody, whose sandbox is an
# unprivileged user namespace, so that the path without root cannot break
# unseen while CI runs as root. Checks too that, as nobody, a fault row that
# needs a second user is skipped (77) and a missing package is named, not
# installed. The checkout may be out of nobody's reach: what the runs need is
# copied to a scratch folder first.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] ||
    { echo "rootless: needs root to become the user nobody (as yourself: scripts/simulate.sh --scenario FILE)" >&2
      exit 1; }
scripts/install-deps.sh
scripts/build.sh >/dev/null

# Not $TMPDIR: its parents may be closed to nobody, as the checkout's may.
scratch=$(mktemp -d /tmp/glowkeeper-rootless.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/scenarios" "$scratch/scripts" "$scratch/tests"
cp -r tools build/glowkeeper "$scratch/"
cp tests/faults.py "$scratch/tests/"
cp scripts/install-deps.sh "$scratch/scripts/"
files=(scenarios/internet-refused.scenario scenarios/update-install.scenario scenarios/auth-longpress.scenario)
for file in "${files[@]}"; do cp "tests/$file" "$scratch/scenarios/"; done
chmod -R a+rX "$scratch"
as_nobody() { (cd "$scratch" && setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env "$@"); }

# One after the other: their timing is checked, and CI's machine is small.
as_nobody env PYTHONPATH=tools /usr/bin/python3 -m glowsim play --binary glowkeeper "${files[@]}" \
    >"$scratch/play.log" 2>&1 || { cat "$scratch/play.log"; echo "rootless: a scenario failed as nobody" >&2; exit 1; }
echo "rootless: passed as nobody: ${files[*]}"

status=0
reason=$(as_nobody env GLOWKEEPER_BINARY=glowkeeper /usr/bin/python3 tests/faults.py cgroup_root_unsearchable 2>&1) ||
    status=$?
[ "$status" -eq 77 ] && [[ $reason == "skipped: "* ]] ||
    { echo "rootless: the row that runs the daemon as nobody was not skipped ($status): $reason" >&2; exit 1; }
echo "rootless: $reason"

status=0
line=$(as_nobody scripts/install-deps.sh glowkeeper-absent 2>&1) || status=$?
[ "$status" -eq 1 ] && [[ $line == *"apt-get install --no-install-recommends glowkeeper-absent" ]] ||
    { echo "rootless: install-deps.sh as nobody ($status): $line" >&2; exit 1; }
echo "rootless: install-deps.sh names what is missing: $line"
