#!/usr/bin/env bash
# Installs what is missing, builds, and runs the daemon in debug mode on
# simulated hardware in a private mount and network namespace: a live view of
# both LEDs, the world and the daemon's log, with keys that change the world,
# until q or Ctrl-C. Options go to glowsim (see --help):
#   --net reachable|refused|drop|noroute   --layout v2|v1   --auth WORD
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
cd tools && exec $sudo /usr/bin/python3 -m glowsim run --binary ../build/glowkeeper "$@"
