#!/usr/bin/env bash
# Regenerates docs/pictures/<name>.svg from real runs of the real binary:
# plays every shipped scenario with --record (all at once, each in its own
# namespace) and draws the recorded timeline.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
PYTHONPATH=tools /usr/bin/python3 -m glowsim.namespace
scripts/build.sh
runs="$PWD/build/pictures"
rm -rf "$runs" && mkdir -p "$runs" docs/pictures
cd tools
for file in ../tests/scenarios/*.scenario; do
    name=$(basename "$file" .scenario)
    /usr/bin/python3 -m glowsim play --binary ../build/glowkeeper --record "$runs/$name.json" "$file" \
        >"$runs/$name.log" 2>&1 || echo "pictures: $name failed, see $runs/$name.log" >"$runs/$name.failed" &
done
wait
if ls "$runs"/*.failed >/dev/null 2>&1; then cat "$runs"/*.failed >&2; exit 1; fi
for timeline in "$runs"/*.json; do
    /usr/bin/python3 -m glowsim draw "$timeline" "../docs/pictures/$(basename "$timeline" .json).svg"
done
echo "pictures: $(ls ../docs/pictures/*.svg | wc -l) pictures in docs/pictures"
