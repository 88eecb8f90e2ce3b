# Sourced by guest-test.sh when the host put client/ on the data disk: the
# real update client (Debian's mender-client) does three deployments from the
# stand-in server on https://localhost (client/server.py) — one that
# succeeds, one that fails in ArtifactInstall, one that reboots — and the LEDs
# must show each as the client goes through it. The client's journal and the
# server's requests are kept with the results.
client=$PWD/client
events=/run/update-server/events
offer=$client/artifacts/offer

# Waits up to $2 s for the server's event $1; prints its time.
event() {
    local deadline=$((SECONDS + $2)) line
    until line=$(grep -m1 " $1\$" "$events" 2>/dev/null); do
        [ $SECONDS -lt $deadline ] || { echo "no '$1' from the server within $2 s"; return 1; }
        sleep 0.5
    done
    echo "${line%% *}"
}
# Lines of program $2 since cursor $1. Not `journalctl -u` with the cursor:
# with a match, --after-cursor also skips the first matching entry whenever
# the cursor's own entry does not match.
lines_of() { journalctl --after-cursor="$1" -o short-monotonic | grep -F " $2["; }
# Waits up to $3 s for the client's $4-th (default first) line holding $2
# since cursor $1, counting only lines after the first that holds $5 when
# given; prints its time on the monotonic clock.
client_line() {
    local deadline=$((SECONDS + $3)) line
    until line=$(lines_of "$1" mender |
        awk -v text="$2" -v n="${4:-1}" -v after="${5:-}" 'BEGIN {on = after == ""}
            !on {on = index($0, after) > 0; next}
            index($0, text) && ++k == n {print; exit}')
        [ -n "$line" ]; do
        [ $SECONDS -lt $deadline ] || { echo "no client line '$2' within $3 s"; return 1; }
        sleep 0.5
    done
    line=${line#[}
    echo "${line%%]*}" | tr -d ' '
}
# The first moment from $1 on when the RGB LED was solid green.
green_from() {
    awk -v t="$1" '{lit[$2] = $3 > 0} $1 >= t && !lit["red"] && lit["green"] && !lit["blue"] {print $1; exit}' "$log"
}
seconds() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.1f", b - a}'; }
now() { cut -d' ' -f1 /proc/uptime; }
# The ten texts the daemon knows, each after the value it prints.
texts=("0 update-check [Sync] -> check-wait [Idle]"
    "2 update-check [Sync] -> update-fetch [Download_Enter]"
    "2 update-store [Download_Enter] -> update-after-store [Download_Leave]"
    "2 update-fetch [Download_Enter] -> update-store [Download_Enter]"
    "3 mender-update-control [none] -> update-install [ArtifactInstall]"
    "3 mender-update-control [none] -> reboot [ArtifactReboot_Enter]"
    "3 mender-update-control [none] -> update-commit [ArtifactCommit_Enter]"
    "3 update-status-report [none] -> idle [Idle]"
    "0 inventory-update [Sync] -> check-wait [Idle]"
    "99 update-error [ArtifactFailure] -> cleanup [Error]")
# The value of each recognised client line since cursor $1, in order.
expected_values() {
    local line entry
    lines_of "$1" mender | while IFS= read -r line; do
        for entry in "${texts[@]}"; do
            [[ $line != *"${entry#* }"* ]] || echo "${entry%% *}"
        done
    done
}
# How many of the ten texts the client logged since cursor $1.
texts_seen() {
    local entry count=0 journal
    journal=$(lines_of "$1" mender)
    for entry in "${texts[@]}"; do
        ! grep -qF -- "${entry#* }" <<<"$journal" || count=$((count + 1))
    done
    echo "$count"
}
# Offers deployment $1 and checks its download and install; sets start to its
# offer's journal cursor.
deploy() {
    start=$(cursor)
    echo "$1" >"$offer"
    check "$1: download starts" event "download $1 start" 60
    check "$1 downloading: 3 white flashes${2:-}" leds "red=flashes:3 green=flashes:3 blue=flashes:3"
    check "$1 installing: 4 white flashes" leds "red=flashes:4 green=flashes:4 blue=flashes:4" --within 40
}
# Waits for deployment $1's success and checks that green follows within 8 s:
# a burst of four flashes (1.6 s) may be under way, and the journal's lines
# reach the follower late on a busy emulated machine (4.0 s measured).
succeeded() {
    local reported green
    reported=$(event "status $1 success" 60) || { check "$1: reported success" false; return; }
    check "$1: green again" leds "red=off green=on blue=off" --window 2
    green=$(green_from "$reported")
    check "$1: solid green $(seconds "$reported" "${green:-0}") s after the success report" \
        awk -v d="$(seconds "$reported" "${green:-1e9}")" 'BEGIN {exit !(d >= 0 && d <= 8)}'
}

client_start=$SECONDS
# The daemon anew, as on a gateway: no authentication file at its start.
systemctl restart glowkeeper
grep -qw localhost /etc/hosts 2>/dev/null || echo '127.0.0.1 localhost' >>/etc/hosts
mkdir -p /etc/mender "$(dirname "$events")"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout /etc/mender/server.key -out /etc/mender/server.crt 2>/dev/null
install -m 644 "$client/mender.conf" /etc/mender/
echo artifact_name=gk-base >/etc/mender/artifact_info
mkdir -p /data/mender
echo device_type=vm >/var/lib/mender/device_type
install -m 755 "$client/device-identity" /usr/share/mender/identity/mender-device-identity
install -m 755 "$client/vm-test" /usr/share/mender/modules/v3/
# The client runs `reboot` from its PATH, where /usr/local/sbin comes first.
install -m 755 "$client/reboot" /usr/local/sbin/
systemd-run --quiet --unit=update-server /usr/bin/python3 "$client/server.py" \
    /etc/mender/server.crt /etc/mender/server.key "$client/artifacts" "$events"
# The package's unit replaces the image's stand-in for the client.
rm /etc/systemd/system/mender-client.service
systemctl daemon-reload
sleep 2
since=$(cursor)
systemctl restart mender-client
check "update client: authorised and idle" client_line "$since" "update-check [Sync] -> check-wait [Idle]" 300

deploy gk-success
succeeded gk-success

deploy gk-failure
failure="update-error [ArtifactFailure] -> cleanup [Error]"
failed_at=$(client_line "$start" "$failure" 60)
check "gk-failure: the client reports the failure" event "status gk-failure failure" 10
# Its tail: status report, inventory update, an update check at once and the
# next one a poll later; none of them may end what the LED shows.
check "gk-failure: the client's tail ends in a second update check" \
    client_line "$start" "update-check [Sync] -> check-wait [Idle]" 20 2 "$failure"
tail_took=$(seconds "$failed_at" "$(client_line "$start" "update-check [Sync] -> check-wait [Idle]" 1 1 "$failure")")
held=$(seconds "$failed_at" "$(now)")
check "gk-failure: solid red held ${held} s across the client's tail (tail over after ${tail_took} s)" \
    leds "red=on green=off blue=off" --window "$(seconds 1.5 "$held")" --within 0

deploy gk-reboot " (the failure no longer held)"
check "gk-reboot: the client reboots" client_line "$start" "mender-update-control [none] -> reboot [ArtifactReboot_Enter]" 60
sleep 4.5  # a window of the reboot alone
check "gk-reboot rebooting: 4 white flashes" leds "red=flashes:4 green=flashes:4 blue=flashes:4" --within 0
succeeded gk-reboot

systemctl stop mender-client
sleep 2  # the daemon's last lines
printed=$(lines_of "$since" glowkeeper | sed -n 's/.*: \[Monitor\] Updatestatus: //p' | paste -sd' ')
expected=$(expected_values "$since" | paste -sd' ')
check "one status line per recognised client line ($(wc -w <<<"$expected")), same values in order" \
    equals "$printed" "$expected"
check "the client logged all ten texts" equals "$(texts_seen "$since")" 10
journalctl -u mender-client --after-cursor="$since" -o short-monotonic >"$results/client-journal.txt"
cp "$events" "$results/server-events.txt"
systemctl start mender-client  # the gateway's services all running again, for what follows
echo "update client section took $((SECONDS - client_start)) s" | tee -a "$results/summary.txt"
