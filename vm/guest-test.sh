#!/bin/bash
# Runs inside the test VM (from vm-test.service, in the folder the host's data
# disk was unpacked to): installs the package on the gateway that the image
# makes (three running services, four uleds LEDs), checks the service, and
# writes the results to the third disk for vm/run-test.sh.
set -uo pipefail
cd "$(dirname "$0")"
[ ! -d /proc/device-tree/leds ] || exec ./guest-board.sh  # a board's own LEDs
results=/root/results
mkdir -p "$results"
log=/var/log/leds.log
passed=0 failed=0 complete=0

finish() {
    local status=$?
    # A script that stops early has not passed, whatever it counted so far.
    if [ "$complete" != 1 ]; then
        failed=$((failed + 1))
        echo "FAIL - the test stopped early (status $status)" | tee -a "$results/summary.txt"
    fi
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
# Waits up to 30 s for exactly $1 journalctl processes (the daemon's followers):
# a daemon restarted by the watchdog on a busy emulated machine took over 10 s.
followers() {
    local deadline=$((SECONDS + 30)) count
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
# Waits up to 10 s for the status line of `systemctl status` to read $1.
status_line() {
    local deadline=$((SECONDS + 10)) line
    until line=$(prop StatusText); [ "$line" = "$1" ]; do
        [ $SECONDS -lt $deadline ] || { echo "got '$line'"; return 1; }
        sleep 0.5
    done
}
cursor() { journalctl -n0 --show-cursor | sed -n 's/^-- cursor: //p'; }
# Waits up to 10 s for the daemon's distinct messages at exactly priority $2
# since cursor $1 to be $3.
messages_at() {
    local deadline=$((SECONDS + 10)) seen
    until seen=$(journalctl -u glowkeeper --after-cursor="$1" -p "$2..$2" -o cat | sort -u); [ "$seen" = "$3" ]; do
        [ $SECONDS -lt $deadline ] || { echo "got '$seen'"; return 1; }
        sleep 0.5
    done
}
transition() { echo "level=info msg=\"State transition: $1\"" >>/var/lib/mender/transitions; }

udevadm wait --timeout=300 /sys/class/leds/KYT:{LED1,RGBLED1.1,RGBLED1.2,RGBLED1.3}

. ./guest-triggers.sh
check "package installs" dpkg -i glowkeeper.deb
check "the LEDs' device units are up" device_units_up
check "service enabled" equals "$(systemctl is-enabled glowkeeper)" enabled
check "service ready (Type=notify, active)" equals "$(prop Type) $(prop SubState)" "notify running"
check "daemon runs as its own user" equals "$(ps -o user= -p "$(main_pid)")" glowkeeper
check "no capabilities, no new privileges, system calls filtered" \
    equals "$(awk '/^(CapEff|NoNewPrivs|Seccomp):/ {print $2}' "/proc/$(main_pid)/status" | paste -sd' ')" "0000000000000000 1 2"
check "udev rule gives the group the LEDs" equals "$(stat -L -c '%G %A' /sys/class/leds/KYT:RGBLED1.2/brightness)" "glowkeeper -rw-rw-r--"
check "one journal follower" followers 1
check "the follower runs as the daemon's user" equals "$(ps -o user= -C journalctl)" glowkeeper
check "all services up: solid green, single LED dark (no network)" leds "red=off green=on blue=off single=off"
check "kernel triggers cleared: each reads none" triggers_cleared
check "kernel triggers cleared: green held at 1 for 10 s" leds "green=on" --window 10
check "all services up: status line" status_line "internet unreachable · RGB: solid green, all services running"

for case in "tiviad 2" "pelmad 3" "mender-client 4"; do
    set -- $case
    systemctl stop "$1"
    check "$1 stopped: $2 red flashes" leds "red=flashes:$2 green=off blue=off"
    check "$1 stopped: status line" status_line "internet unreachable · RGB: $2 red flashes, $1 not running"
    systemctl start "$1"
    check "$1 back: green" leds "red=off green=on blue=off"
done

transition "update-check [Sync] -> update-fetch [Download_Enter]"
check "update downloading: 3 white flashes" leds "red=flashes:3 green=flashes:3 blue=flashes:3"
check "update downloading: status line" status_line "internet unreachable · RGB: 3 white flashes, update downloading"
transition "mender-update-control [none] -> update-install [ArtifactInstall]"
check "update installing: 4 white flashes" leds "red=flashes:4 green=flashes:4 blue=flashes:4"
transition "update-check [Sync] -> check-wait [Idle]"
check "update idle: green" leds "red=off green=on blue=off"
check "update idle: status line" status_line "internet unreachable · RGB: solid green, all services running"

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

# LEDs registered after the start (a driver loaded late): udev restarts the
# daemon, whose sandbox opens only the brightness files present at its start.
# The start's wait for them is cut to 5 s here; the package's 60 s are
# waited out once, in the life section.
systemctl stop leds
check "late LEDs: unregistered" test ! -e /sys/class/leds/KYT:LED1
for led in LED1 RGBLED1.1 RGBLED1.2 RGBLED1.3; do
    mkdir -p "/run/systemd/system/sys-class-leds-KYT:$led.device.d"
    printf '[Unit]\nJobRunningTimeoutSec=5s\n' >"/run/systemd/system/sys-class-leds-KYT:$led.device.d/led-device-wait.conf"
done
systemctl daemon-reload
since=$(cursor)
waited=$SECONDS
systemctl --no-block start glowkeeper
check "no LEDs: the start waits for them, then runs" started_without_leds "$waited" 5
rm -r /run/systemd/system/sys-class-leds-KYT:*.device.d
systemctl daemon-reload
sleep 6
started=$SECONDS
systemctl start leds
# Timed from the LEDs' arrival: the emulated python's own start is no part of it.
until [ -e /sys/class/leds/KYT:RGBLED1.3 ] || [ $((SECONDS - started)) -gt 30 ]; do sleep 0.2; done
registered=$SECONDS
check "late LEDs: solid green" leds "red=off green=on blue=off" --window 2
check "late LEDs: green within 30 s (took $((SECONDS - registered)) s, arrived after $((registered - started)) s)" test $((SECONDS - registered)) -le 30
check "late LEDs: the service runs" equals "$(prop ActiveState) $(prop Result)" "active success"
check "late LEDs: four add events, one restart" \
    equals "$(journalctl -u glowkeeper --after-cursor="$since" -o cat | grep -c '^Started glowkeeper.service')" 2
check "late LEDs: failed writes meanwhile logged as errors" \
    bash -c "journalctl -u glowkeeper --after-cursor='$since' -p err..err -o cat | grep -qx 'Error opening file: /sys/class/leds/KYT:LED1/brightness'"

# An unknown word in the authentication file: the loop's error line at
# priority err, the reader's own line at warning, each message alone.
since=$(cursor)
echo bogus >/tmp/Auth_status.txt
systemctl restart glowkeeper
check "journal: the error line at priority err" messages_at "$since" err "Authentication check: unknown state"
check "journal: the reader's line at priority warning" messages_at "$since" warning "Authentication Error, undefined state"
echo Registration_possible >/tmp/Auth_status.txt
check "registration possible: status line" status_line "internet unreachable · RGB: slow blue, registration possible"
rm /tmp/Auth_status.txt
[ ! -d client ] || . ./guest-client.sh
check "package removal stops the service" bash -c "dpkg -r glowkeeper >/dev/null && ! pgrep -x glowkeeper && ! pgrep -x journalctl"
. ./guest-life.sh
complete=1
