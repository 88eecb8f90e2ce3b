#!/usr/bin/env bash
# Fails when the man page lags behind the README's LED tables or misses a log
# line of the daemon, when it renders with warnings, when a table row states a
# pattern its scenario does not check, when the README outgrows a page read in
# minutes, when a link in the docs points nowhere, when the status line's
# texts in the man page differ from those the code words, or when the unit,
# the udev rule or the simulator no longer follow the board's names
# (src/board.hpp).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/install-deps.sh groff-base man-db
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build build --target glowkeeper-status-texts -j"$(nproc)" >/dev/null
scripts/docs.py --check
scripts/check-board.py
# The way a technician reads it, with warnings on (as lintian does).
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z docs/glowkeeper.8 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "man -l docs/glowkeeper.8 warns:"; echo "$warnings"; exit 1; }
echo "docs: man page current and clean, README $(stat -c %s README.md) bytes, links resolve"
