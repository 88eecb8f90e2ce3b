#!/usr/bin/env bash
# Installs what is missing, builds, and runs the daemon in debug mode on
# simulated hardware in a private mount and network namespace (inside a user
# namespace of its own when not run as root): a live view of
# both LEDs, the world and the daemon's log, with keys that change the world,
# until q or Ctrl-C. Options go to glowsim (see --help):
#   --net reachable|refused|drop|noroute   --layout v2|v1   --auth WORD
#   --scenario FILE   plays a scenario file instead, printing its timeline
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
PYTHONPATH=tools /usr/bin/python3 -m glowsim.namespace
scripts/build.sh
# Run from the project's root: file arguments are taken relative to it.
exec env PYTHONPATH="$PWD/tools" /usr/bin/python3 -m glowsim run --binary build/glowkeeper "$@"
