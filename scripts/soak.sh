#!/usr/bin/env bash
# Installs what is missing, builds, and runs the daemon for SECONDS (default
# 60) in a churning simulated world, sampling its memory, descriptors,
# threads and children; fails on any growth. Options after SECONDS go to
# `glowsim soak` (--seed S, --rate R).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
PYTHONPATH=tools /usr/bin/python3 -m glowsim.namespace
scripts/build.sh
seconds="${1:-60}"
shift || true
cd tools && exec /usr/bin/python3 -m glowsim soak --binary ../build/glowkeeper --seconds "$seconds" "$@"
