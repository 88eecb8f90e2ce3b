#!/usr/bin/env bash
# Regenerates docs/pictures/<name>.svg from real runs of the real binary:
# plays every scenario whose picture the docs show with --record (each in its
# own namespace) and draws the recorded timeline; a picture whose run came out
# the same is left as it is.
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
    grep -qs "pictures/$name.svg" ../README.md ../docs/*.md || continue
    # No more runs than cores: a loaded machine starts the daemon late.
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n; done
    (
        status=0
        /usr/bin/python3 -m glowsim play --binary ../build/glowkeeper --record "$runs/$name.json" "$file" \
            >"$runs/$name.log" 2>&1 || status=$?
        # 77: a world this user cannot make (net nosocket without root); its picture stays as it is.
        case $status in
            0) ;;
            77) echo "pictures: $name kept as it is: $(tail -1 "$runs/$name.log")" >&2 ;;
            *) echo "pictures: $name failed, see $runs/$name.log" >"$runs/$name.failed" ;;
        esac
    ) &
done
wait
if ls "$runs"/*.failed >/dev/null 2>&1; then cat "$runs"/*.failed >&2; exit 1; fi
for timeline in "$runs"/*.json; do
    /usr/bin/python3 -m glowsim draw "$timeline" "../docs/pictures/$(basename "$timeline" .json).svg"
done
echo "pictures: $(ls ../docs/pictures/*.svg | wc -l) pictures in docs/pictures"
