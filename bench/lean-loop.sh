#!/bin/bash
# The healthy job done as leanly as a shell loop can: three service folders
# and three brightness writes every second, one probe (3 s limit) and one
# brightness write every fifth second. Builtins only, except the probe's
# timeout and the pause: `sleep 1`, or with PAUSE "read" a read with a
# timeout on a pipe that never delivers (no fork at all for the pause).
# Usage: lean-loop.sh LED_DIR CGROUP_ROOT [sleep|read], only inside the
# benchmark's private network namespace, where the probe reaches its listener.
[ "${GLOWSIM_IN_NAMESPACE:-}" = 1 ] || { echo "lean-loop: run it through bench/run.sh" >&2; exit 2; }
leds=$1
root=$2
pause=${3:-sleep}
exec 9<> <(:)
pass=0
while :; do
    green=1
    for service in tiviad pelmad mender-client; do
        [ -d "$root/$service.service" ] || green=0
    done
    printf %d $((1 - green)) >"$leds/red"
    printf %d $green >"$leds/green"
    printf 0 >"$leds/blue"
    if ((pass % 5 == 0)); then
        if timeout 3 bash -c 'exec 3<>/dev/tcp/8.8.8.8/53' 2>/dev/null; then
            printf 1 >"$leds/led"
        else
            printf 0 >"$leds/led"
        fi
    fi
    pass=$((pass + 1))
    if [ "$pause" = read ]; then
        read -r -t 1 -u 9 || :
    else
        sleep 1
    fi
done
