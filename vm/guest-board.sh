#!/bin/bash
# Runs in the arm64 VM booted with a board's device tree (vm/board-dtb.sh),
# from guest-test.sh: the four LEDs come from leds-gpio at udev's coldplug,
# the green one with the heartbeat trigger, the red one lit. The first boot
# installs the package and reboots; the second checks, from what the kernel
# did (the gpio_value tracepoint, enabled on the kernel's command line, and
# /sys/kernel/debug/gpio), that the daemon started at boot with its LEDs and
# that only its patterns show. Results go to the third disk.
set -uo pipefail
cd "$(dirname "$0")"
results=/root/results
mkdir -p "$results"
complete=0
leds=(KYT:LED1 KYT:RGBLED1.1 KYT:RGBLED1.2 KYT:RGBLED1.3)

check() {  # check DESCRIPTION COMMAND...
    local description=$1
    shift
    if output=$("$@" 2>&1); then
        echo "ok - board: $description" | tee -a "$results/summary.txt"
    else
        echo "FAIL - board: $description: $output" | tee -a "$results/summary.txt"
    fi
}
equals() { [ "$1" = "$2" ] || { echo "got '$1'"; return 1; }; }

if [ ! -e /root/board-installed ]; then
    touch /root/board-installed
    check "package installs" dpkg -i glowkeeper.deb
    check "service enabled" equals "$(systemctl is-enabled glowkeeper)" enabled
    # An emulated boot on a busy machine can reach udev's coldplug more than
    # the unit's 60 s after systemd starts waiting; here it waits longer, so
    # that a slow host does not pass for a start before the LEDs.
    for led in "${leds[@]}"; do
        mkdir -p "/etc/systemd/system/sys-class-leds-$led.device.d"
        printf '[Unit]\nJobRunningTimeoutSec=180s\n' >"/etc/systemd/system/sys-class-leds-$led.device.d/slow-host.conf"
    done
    # The disk's snapshot lives as long as qemu: the next boot has the package.
    sync
    systemctl reboot --force
    sleep infinity
fi

finish() {
    local status=$?
    [ "$complete" = 1 ] || echo "FAIL - board: the test stopped early (status $status)" >>"$results/summary.txt"
    echo "vm-test: $(grep -c '^ok' "$results/summary.txt") passed, $(grep -c '^FAIL' "$results/summary.txt") failed" |
        tee -a "$results/summary.txt"
    journalctl -b --no-pager >"$results/journal.txt"
    cp /sys/kernel/debug/gpio "$results/gpio.txt"
    tar -cf /dev/vdc -C /root results && sync
}
trap finish EXIT

# Each LED's line (global GPIO number: the PL061's base plus its line in the
# device tree) and level, from the GPIO debug file:
#   gpiochip0: GPIOs 512-519, parent: platform/9030000.pl061, 9030000.pl061:
#    gpio-512 (                    |KYT:LED1            ) out lo
base=$(sed -n 's/^gpiochip[0-9]*: GPIOs \([0-9]*\)-.*9030000\.pl061.*/\1/p' /sys/kernel/debug/gpio)
declare -A offsets=([KYT:LED1]=0 [KYT:RGBLED1.1]=1 [KYT:RGBLED1.2]=2 [KYT:RGBLED1.3]=4)
line_of() { echo $((base + ${offsets[$1]})); }
level_of() { sed -n "s/^ *gpio-$(line_of "$1") (.*) out \([a-z]*\).*/\1/p" /sys/kernel/debug/gpio; }

# The traced sets of the four lines as "seconds gpio value context task
# process": context is "task" for a process's own write, "irq" for a
# trigger's timer (softirq) or any interrupt, which runs under whatever task
# it interrupted; process is the writer's process ID (the kernel's
# record-tgid option: the daemon's threads have names of their own).
traced() {
    awk -v wanted=" $(for led in "${leds[@]}"; do printf '%s ' "$(line_of "$led")"; done)" '
        / gpio_value: [0-9]+ set / {
            for (i = 1; i < NF; i++) if ($i ~ /^\[[0-9]+\]$/) break
            task = $1; sub(/-[0-9]+$/, "", task)
            process = ""
            for (j = 2; j < i; j++) process = process $j
            gsub(/[()]/, "", process)
            context = substr($(i + 1), 3, 1) == "." ? "task" : "irq"
            time = $(i + 2); sub(/:$/, "", time)
            gpio = $(i + 4)
            if (index(wanted, " " gpio " ")) print time, gpio, $(i + 6), context, task, process
        }' /sys/kernel/tracing/trace
}
# The sets written by the daemon's own process (any of its threads).
daemon() { awk -v pid="$(systemctl show -P MainPID glowkeeper)" '$4 == "task" && $6 == pid' <<<"$1"; }

# The daemon's first write, then 15 s of its patterns (and of any trigger).
deadline=$((SECONDS + 120))
until first=$(daemon "$(traced)" | awk 'NR == 1 {print $1}'); [ -n "$first" ]; do
    [ $SECONDS -lt $deadline ] || break
    sleep 1
done
[ -z "$first" ] || while awk -v f="$first" '{exit !($1 < f + 15)}' /proc/uptime; do sleep 1; done
echo 0 >/sys/kernel/tracing/tracing_on
events=$(traced)
cp /sys/kernel/tracing/trace "$results/gpio-trace.txt"

for led in "${leds[@]}"; do
    check "$led from leds-gpio" equals "$(basename "$(readlink -f "/sys/class/leds/$led/device/driver")")" leds-gpio
done
check "the LEDs' device units are up" equals \
    "$(systemctl is-active sys-class-leds-KYT:{LED1,RGBLED1.1,RGBLED1.2,RGBLED1.3}.device | paste -sd' ')" \
    "active active active active"
# Monotonic microseconds: when each LED's device unit came up, when the daemon ran.
registered=$(for led in "${leds[@]}"; do systemctl show -P ActiveEnterTimestampMonotonic "sys-class-leds-$led.device"; done | sort -n | tail -1)
started=$(systemctl show -P ExecMainStartTimestampMonotonic glowkeeper)
check "the daemon started after its LEDs" test "$started" -gt "$registered"
check "the daemon started once at boot, no restart" equals \
    "$(journalctl -b -u glowkeeper -o cat | grep -c '^Starting glowkeeper.service') $(systemctl show -P NRestarts glowkeeper)" "1 0"
check "daemon logged no error" bash -c "! journalctl -b _SYSTEMD_UNIT=glowkeeper.service --no-pager -o cat | grep -i error"
for led in "${leds[@]}"; do
    check "$led: trigger reads none" grep -q '\[none\]' "/sys/class/leds/$led/trigger"
done

green=$(line_of KYT:RGBLED1.2)
check "the daemon wrote (first write at ${first:-never} s)" test -n "$first"
first=${first:-0}
check "the board's heartbeat ran before the daemon ($(awk -v f="$first" -v g="$green" '$1 < f && $2 == g && $4 == "irq"' <<<"$events" | wc -l) sets)" \
    awk -v f="$first" -v g="$green" '$1 < f && $2 == g && $4 == "irq" {n++} END {exit n < 1}' <<<"$events"
others=$(awk -v f="$first" -v pid="$(systemctl show -P MainPID glowkeeper)" '$1 >= f && !($4 == "task" && $6 == pid)' <<<"$events")
check "after the daemon's first write, only the daemon sets the lines ($(grep -c . <<<"$others") other sets)" \
    test -z "$others"
# Healthy gateway without network: green 1, red, blue and single 0 (each
# pass rewrites them).
for pair in KYT:LED1=0 KYT:RGBLED1.1=0 KYT:RGBLED1.2=1 KYT:RGBLED1.3=0; do
    led=${pair%=*} value=${pair#*=}
    written=$(daemon "$events" | awk -v g="$(line_of "$led")" '$2 == g {print $3}' | sort -u | paste -sd,)
    check "$led: the daemon wrote only $value, the line is $( ((value)) && echo hi || echo lo)" \
        equals "$written $(level_of "$led")" "$value $( ((value)) && echo hi || echo lo)"
done

# The figures for docs/deploying.md, on the trace's clock (from the kernel's
# start): the driver's first set, the unit's clearing of the triggers (sh),
# the daemon's first write. A very slow boot (an emulated one on a busy
# machine) can outlast the 60 s wait for the LEDs.
registered_at=$(awk 'NR == 1 {print $1}' <<<"$events")
cleared_at=$(awk '$4 == "task" && $5 == "sh" {print $1; exit}' <<<"$events")
waits=$(journalctl -b -o cat | grep -c 'Timed out waiting for device sys-class-leds')
echo "board: LEDs registered at ${registered_at:-?} s, triggers cleared at ${cleared_at:-?} s," \
    "first write at $first s after the kernel's start; $waits LED waits ran out" | tee -a "$results/summary.txt"
complete=1
