#!/usr/bin/env bash
# apt-get, one at a time: CI builds the VM images beside the tests, and
# apt-get update does not wait for another apt-get's lock.
# Usage: scripts/apt.sh APT-GET-ARGUMENTS...
exec flock /run/lock/glowkeeper-apt env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
