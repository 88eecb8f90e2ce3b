# The package's life on the gateway, sourced by guest-test.sh after its own
# checks (the package is removed by then; its helpers are at hand): LEDs
# registered while the unit starts, an administrator's trigger, upgrade and
# reinstall while running, remove, purge and install again.

# A LED of another driver, which the package must leave alone.
python3 -c 'import os, struct, time
fd = os.open("/dev/uleds", os.O_RDWR)
os.write(fd, struct.pack("64si", b"vm:other", 255))
time.sleep(1e6)' &
other=$!
udevadm wait --timeout=120 /sys/class/leds/vm:other

starts() { journalctl -u glowkeeper --after-cursor="$1" -o cat | grep -c '^Started glowkeeper.service'; }
held() { local pid; pid=$(main_pid); [ "$pid" -gt 0 ] && [ "$(ps -o stat= -p "$pid" | cut -c1)" = T ]; }
until_true() {  # until_true SECONDS COMMAND...: waits for COMMAND to succeed
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || { echo "not within the time"; return 1; }
        sleep 0.5
    done
}

check "install again after removal" dpkg -i glowkeeper.deb

# LEDs registered while the unit is still starting: the daemon's process is
# held before it reports ready, with its sandbox (without the LEDs) in place.
# Without its LEDs the start first waits for their devices, 60 s at most.
systemctl stop glowkeeper leds
mkdir -p /run/systemd/system/glowkeeper.service.d
cat >/run/systemd/system/glowkeeper.service.d/hold.conf <<'EOF'
[Service]
ExecStart=
ExecStart=/bin/sh -c '[ ! -e /run/glowkeeper-hold ] || kill -STOP $$$$; exec /usr/sbin/glowkeeper'
EOF
touch /run/glowkeeper-hold
systemctl daemon-reload
since=$(cursor) waited=$SECONDS
systemctl start --no-block glowkeeper
check "activating: the daemon held before ready" until_true 100 held
took=$((SECONDS - waited))
check "activating: the start waited 60 s for its LEDs (took $took s)" test "$took" -ge 59 -a "$took" -le 80
pid=$(main_pid)
rm /run/glowkeeper-hold
check "activating: the unit is starting" equals "$(prop ActiveState)" activating
systemctl start leds
check "activating: the restart asked for meanwhile is kept" restarted 60 "$pid"
check "activating: solid green" leds "red=off green=on blue=off single=off"
check "activating: one start, the restart merged into it" equals "$(starts "$since")" 1
rm -r /run/systemd/system/glowkeeper.service.d
systemctl daemon-reload

# An administrator's add trigger of every LED restarts nothing.
pid=$(main_pid) since=$(cursor)
udevadm trigger --settle --action=add --subsystem-match=leds
check "admin trigger: no job queued" equals "$(systemctl list-jobs --no-legend glowkeeper.service)" ""
sleep 3
check "admin trigger: no restart" equals "$(main_pid) $(starts "$since")" "$pid 0"
check "admin trigger: the group still owns its LED" \
    equals "$(stat -L -c '%G %A' /sys/class/leds/KYT:LED1/brightness)" "glowkeeper -rw-rw-r--"

# Upgrade to a newer version, then reinstall it, while running: one restart
# each, by debhelper after the unit is reloaded.
for case in "upgrade:glowkeeper-next.deb" "reinstall:glowkeeper-next.deb"; do
    name=${case%%:*} deb=${case#*:}
    since=$(cursor) pid=$(main_pid) mark=$(wc -l <"$log")
    stdbuf -oL udevadm monitor --kernel --subsystem-match=leds >/tmp/events &
    monitor=$!
    sleep 1
    check "$name: installs" dpkg -i "$deb"
    check "$name: version" equals "$(dpkg-query -W -f='${Version}' glowkeeper)" "$(dpkg-deb -f "$deb" Version)"
    check "$name: restarted" restarted 30 "$pid"
    check "$name: solid green" leds "red=off green=on blue=off single=off"
    kill "$monitor"
    check "$name: one restart (journal)" equals "$(starts "$since")" 1
    # A stop darkens solid green with blue already dark; the white flashes
    # that a new daemon may show briefly (the update states it reads back
    # from the journal) darken green while blue is still lit.
    check "$name: one restart (solid green went dark once)" \
        equals "$(tail -n +$((mark + 1)) "$log" | awk '$2 == "blue" {blue = $3} $2 == "green" && $3 == 0 && !blue {n++} END {print n + 0}')" 1
    order=$(journalctl --after-cursor="$since" -o cat | grep -E '^(Reloading\.$|Started glowkeeper\.service)' | cut -c1-26)
    check "$name: the restart came after the unit was reloaded" equals "$(tail -2 <<<"$order" | paste -sd,)" "Reloading.,Started glowkeeper.service"
    check "$name: the unit is current" equals "$(prop NeedDaemonReload)" no
    check "$name: one journal follower" followers 1
    check "$name: change events for the four LEDs only" \
        equals "$(awk '$1 ~ /^KERNEL\[/ {sub(".*/", "", $3); print $2, $3}' /tmp/events | sort -u | paste -sd,)" \
        "change KYT:LED1,change KYT:RGBLED1.1,change KYT:RGBLED1.2,change KYT:RGBLED1.3"
done

check "remove: package removed" dpkg -r glowkeeper
check "remove: service stopped" equals "$(prop ActiveState)" inactive
check "remove: every LED dark" leds "red=off green=off blue=off single=off"
check "remove: nothing runs as glowkeeper" bash -c "! pgrep -u glowkeeper -l"

check "purge: package purged" dpkg -P glowkeeper
check "purge: dpkg forgets it" bash -c "! dpkg-query -W glowkeeper"
check "purge: systemd forgets it" equals "$(prop LoadState) $(systemctl list-unit-files --no-legend glowkeeper.service)" "not-found "
check "purge: nothing of it left in /etc or /var" \
    equals "$(find /etc /var \( -name '*glowkeeper*' -o -user glowkeeper \) -print)" ""
check "purge: the system user stays" getent passwd glowkeeper

check "install after purge" dpkg -i glowkeeper.deb
check "install after purge: running" equals "$(prop ActiveState)" active
check "install after purge: solid green" leds "red=off green=on blue=off single=off"
kill "$other"
