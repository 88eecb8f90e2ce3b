#!/usr/bin/env bash
# Builds the daemon (RelWithDebInfo) and the no-work reference, then runs the
# cost benchmark in a private namespace. Needs root and perf (linux-perf).
# Usage: bench/run.sh [--quick] [--compare OTHER_BUILD [--rounds N]] [--profile]
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] ||
    { echo "bench: needs root: it mounts cgroup2 groups of its own and runs perf on the whole machine" >&2; exit 1; }
scripts/install-deps.sh
scripts/install-deps.sh linux-perf
BUILD_TYPE=RelWithDebInfo scripts/build.sh
mkdir -p build/bench
c++ -std=c++20 -O2 -g -pthread -Wall -Wextra -Wpedantic -Werror bench/nowork.cpp -o build/bench/nowork
exec /usr/bin/python3 bench/cost.py --binary build/glowkeeper --nowork build/bench/nowork "$@"
