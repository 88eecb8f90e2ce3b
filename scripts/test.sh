#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
# Needs root (or sudo): the tests use private mount and network namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cd build
# The end-to-end groups mostly wait on the daemon's own pauses: run many at once.
ctest --output-on-failure -j8 --timeout 180
