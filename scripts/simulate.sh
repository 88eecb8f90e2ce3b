#!/usr/bin/env bash
# Installs what is missing, builds, and runs the daemon in debug mode on
# simulated hardware in a private mount and network namespace (inside a user
# namespace of its own when not run as root): a live view of
# both LEDs, the world and the daemon's log, with keys that change the world,
# until q or Ctrl-C. Options go to glowsim (see --help):
#   --net reachable|refused|drop|noroute|nosocket|nofd   --layout v2|v1   --auth WORD|none
#   --scenario FILE   plays a scenario file instead, printing its timeline
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# A scenario file is named from the caller's directory.
args=()
while [ $# -gt 0 ]; do
    case $1 in
    -h | --help) exec env PYTHONPATH="$root/tools" /usr/bin/python3 -m glowsim run --help ;;
    --scenario) args+=("$1"); shift; [ $# -eq 0 ] || args+=("$(realpath -m -- "$1")") ;;
    --scenario=*) args+=("--scenario=$(realpath -m -- "${1#--scenario=}")") ;;
    *) args+=("$1") ;;
    esac
    [ $# -eq 0 ] || shift
done
cd "$root"
# Wrong options are said before anything is installed or built.
[ ! -x /usr/bin/python3 ] || PYTHONPATH="$PWD/tools" /usr/bin/python3 -m glowsim run --check ${args[@]+"${args[@]}"}
scripts/install-deps.sh
PYTHONPATH=tools /usr/bin/python3 -m glowsim.namespace
scripts/build.sh
exec env PYTHONPATH="$PWD/tools" /usr/bin/python3 -m glowsim run --binary build/glowkeeper ${args[@]+"${args[@]}"}
