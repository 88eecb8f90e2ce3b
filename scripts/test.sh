#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest. The
# tests make private mount and network namespaces (in a user namespace of
# their own without root); those that need a second user or the host's
# control groups are skipped without root, each saying so.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cd build
# The end-to-end groups mostly wait on the daemon's own pauses: run many at once.
ctest --output-on-failure -j8 --timeout 180
