# Sourced by guest-test.sh before the package is installed: a board's boot
# indication on the four LEDs (kernel triggers, which keep running under a
# brightness of 1 unless cleared), and the checks that the daemon owns them.

modprobe -a ledtrig-timer ledtrig-heartbeat ledtrig-default-on 2>/dev/null
set_trigger() { echo "$2" >"/sys/class/leds/$1/trigger"; }
set_trigger KYT:LED1 heartbeat
set_trigger KYT:RGBLED1.1 default-on
set_trigger KYT:RGBLED1.2 timer
echo 100 >/sys/class/leds/KYT:RGBLED1.2/delay_on
echo 100 >/sys/class/leds/KYT:RGBLED1.2/delay_off
set_trigger KYT:RGBLED1.3 heartbeat
# Checks that could pass with no trigger set would prove nothing.
check "kernel triggers set before the install" equals \
    "$(grep -ho '\[[^]]*\]' /sys/class/leds/KYT:{LED1,RGBLED1.1,RGBLED1.2,RGBLED1.3}/trigger | paste -sd' ')" \
    "[heartbeat] [default-on] [timer] [heartbeat]"

# Every LED's trigger reads none.
triggers_cleared() {
    local led bad=""
    for led in KYT:LED1 KYT:RGBLED1.1 KYT:RGBLED1.2 KYT:RGBLED1.3; do
        grep -q '\[none\]' "/sys/class/leds/$led/trigger" || bad+=" $led: $(grep -o '\[[^]]*\]' "/sys/class/leds/$led/trigger")"
    done
    [ -z "$bad" ] || { echo "$bad"; return 1; }
}

# Waits for the service started at second $1 with no LED registered: it
# waits for them $2 s (the device units' drop-ins), then runs without them.
started_without_leds() {
    until [ "$(systemctl is-active glowkeeper)" = active ]; do
        [ $((SECONDS - $1)) -le $(($2 + 30)) ] || { echo "not running after $(($2 + 30)) s"; return 1; }
        sleep 0.5
    done
    local took=$((SECONDS - $1))
    [ "$took" -ge $(($2 - 1)) ] && [ "$took" -le $(($2 + 15)) ] || { echo "running after $took s"; return 1; }
}

# The udev rule makes each LED a device unit under its class path.
device_units_up() {
    equals "$(systemctl is-active sys-class-leds-KYT:{LED1,RGBLED1.1,RGBLED1.2,RGBLED1.3}.device | paste -sd' ')" \
        "active active active active"
}
