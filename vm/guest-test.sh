#!/bin/bash
# Runs inside the test VM (from vm-test.service, in the folder the host's data
# disk was unpacked to): installs the package on the gateway that the image
# makes (three running services, four uleds LEDs), checks the service, and
# writes the results to the third disk for vm/run-test.sh.
set -uo pipefail
cd "$(dirname "$0")"
results=/root/results
mkdir -p "$results"
log=/var/log/leds.log
passed=0 failed=0

finish() {
    echo "vm-test: $passed passed, $failed failed" | tee -a "$results/summary.txt"
    journalctl -b --no-pager >"$results/journal.txt"
    cp "$log" "$results/"
    tar -cf /dev/vdc -C /root results && sync
}
trap finish EXIT

check() {  # check DESCRIPTION COMMAND...
    local description=$1
    shift
    if output=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok - $description" | tee -a "$results/summary.txt"
    else
        failed=$((failed + 1))
        echo "FAIL - $description: $output" | tee -a "$results/summary.txt"
    fi
}
equals() { [ "$1" = "$2" ] || { echo "got '$1'"; return 1; }; }
leds() { /usr/local/bin/leds expect "$log" "$@"; }
prop() { systemctl show -P "$1" glowkeeper; }
main_pid() { prop MainPID; }
# Waits up to 10 s for exactly $1 journalctl processes (the daemon's followers).
followers() {
    local deadline=$((SECONDS + 10)) count
    until count=$(pgrep -c -x journalctl); [ "$count" = "$1" ]; do
        [ $SECONDS -lt $deadline ] || { echo "$count running"; return 1; }
        sleep 0.5
    done
}
# Waits up to $1 s for the service to run again under a main process other than $2.
restarted() {
    local deadline=$((SECONDS + $1))
    until [ "$(systemctl is-active glowkeeper)" = active ] && [ "$(main_pid)" != 0 ] && [ "$(main_pid)" != "$2" ]; do
        [ $SECONDS -lt $deadline ] || { echo "not back after $1 s"; return 1; }
        sleep 0.5
    done
}
transition() { echo "level=info msg=\"State transition: $1\"" >>/var/lib/mender/transitions; }

udevadm wait --timeout=60 /sys/class/leds/KYT:{LED1,RGBLED1.1,RGBLED1.2,RGBLED1.3}

check "package installs" dpkg -i glowkeeper.deb
check "service enabled" equals "$(systemctl is-enabled glowkeeper)" enabled
check "service ready (Type=notify, active)" equals "$(prop Type) $(prop SubState)" "notify running"
check "daemon runs as its own user" equals "$(ps -o user= -p "$(main_pid)")" glowkeeper
check "no capabilities, no new privileges, system calls filtered" \
    equals "$(awk '/^(CapEff|NoNewPrivs|Seccomp):/ {print $2}' "/proc/$(main_pid)/status" | paste -sd' ')" "0000000000000000 1 2"
check "udev rule gives the group the LEDs" equals "$(stat -L -c '%G %A' /sys/class/leds/KYT:RGBLED1.2/brightness)" "glowkeeper -rw-rw-r--"
check "one journal follower" followers 1
check "the follower runs as the daemon's user" equals "$(ps -o user= -C journalctl)" glowkeeper
check "all services up: solid green, single LED dark (no network)" leds "red=off green=on blue=off single=off"

for case in "tiviad 2" "pelmad 3" "mender-client 4"; do
    set -- $case
    systemctl stop "$1"
    check "$1 stopped: $2 red flashes" leds "red=flashes:$2 green=off blue=off"
    systemctl start "$1"
    check "$1 back: green" leds "red=off green=on blue=off"
done

transition "update-check [Sync] -> update-fetch [Download_Enter]"
check "update downloading: 3 white flashes" leds "red=flashes:3 green=flashes:3 blue=flashes:3"
transition "mender-update-control [none] -> update-install [ArtifactInstall]"
check "update installing: 4 white flashes" leds "red=flashes:4 green=flashes:4 blue=flashes:4"
transition "update-check [Sync] -> check-wait [Idle]"
check "update idle: green" leds "red=off green=on blue=off"

pid=$(main_pid) follower=$(pgrep -x journalctl)
kill -KILL "$pid"
check "SIGKILL: restarted by the unit" restarted 30 "$pid"
check "SIGKILL: old journal follower gone" equals "$(ps -o pid= -p "$follower")" ""
check "SIGKILL: one journal follower" followers 1
check "SIGKILL: green again" leds "red=off green=on blue=off"

pid=$(main_pid)
kill -STOP "$pid"
check "SIGSTOP: restarted by the watchdog" restarted 120 "$pid"
check "SIGSTOP: watchdog timeout logged" journalctl -u glowkeeper --no-pager -g "Watchdog timeout"
check "SIGSTOP: one journal follower" followers 1
check "SIGSTOP: green again" leds "red=off green=on blue=off"

start=$SECONDS
systemctl stop glowkeeper
stopped_in=$((SECONDS - start))
check "stop ends within one pass (took ${stopped_in} s)" test "$stopped_in" -le 12
check "stop: clean exit" equals "$(prop Result) $(prop ExecMainStatus)" "success 0"
check "stop: every LED at 0" equals "$(awk '{last[$2] = $3} END {print last["single"] last["red"] last["green"] last["blue"]}' "$log")" 0000
check "stop: no journal follower left" followers 0
check "daemon logged no error" bash -c "! journalctl _SYSTEMD_UNIT=glowkeeper.service --no-pager -o cat | grep -i error"

systemctl start glowkeeper
check "package removal stops the service" bash -c "dpkg -r glowkeeper >/dev/null && ! pgrep -x glowkeeper && ! pgrep -x journalctl"
