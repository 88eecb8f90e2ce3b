#!/usr/bin/python3
# The daemon under a service manager's notify socket: ready once both loops
# have passed, watchdog pets only while both keep passing, whichever display
# the RGB loop runs; a status line sent whenever, and only when, the display
# changes. The socket is missing at first and gone again for a while later:
# READY=1, the pets and the status lines are sent again until they arrive.

import os
import select
import socket
import time

from glowsim import namespace
from glowsim.recorder import brightness_path
from glowsim.sandbox import Sandbox

WATCHDOG = 12.0
# Arrives within a poll (0.2 s) and a loaded machine's scheduling.
PROMPT = 1.2
# A pet may come a poll late, or half a second late after the outage below;
# far below the 12 s that a pet clock moved by a lost pet gives.
LONGEST_GAP = WATCHDOG / 2 + 1.5


def bind():
    (sock := socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)).bind("/run/notify")
    return sock, time.monotonic()


def pets_within(seconds, first_only=False):
    """Times of the pets received within `seconds`; status lines go to
    `statuses` with their times, nothing else may come."""
    pets, end = [], time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0 and not (first_only and pets) and select.select([notify], [], [], left)[0]:
        message = notify.recv(256).decode()
        if message.startswith("STATUS="):
            statuses.append((time.monotonic(), message[len("STATUS="):]))
        else:
            assert message == "WATCHDOG=1", message
            pets.append(time.monotonic())
    return pets


namespace.enter()
# The authentication display from the start; dropped probes make the
# connectivity loop's first pass, and LED1's first write, take the probe's 3 s.
with Sandbox(os.environ["GLOWKEEPER_BINARY"], auth="Registration_possible", net="drop") as box:
    box.start(env={"NOTIFY_SOCKET": "/run/notify", "WATCHDOG_USEC": str(int(WATCHDOG * 1e6))})
    time.sleep(6)  # no socket yet: READY=1 cannot be sent
    notify, appeared = bind()
    assert select.select([notify], [], [], PROMPT)[0], "not ready within a poll of the socket's appearance"
    assert notify.recv(256).decode() == "READY=1\nSTATUS=internet unreachable · RGB: slow blue, registration possible"
    pets, statuses = [time.monotonic()], []  # counted from READY=1
    box.set_net("reachable")
    box.write_auth("LongPress_started")
    pets += pets_within(WATCHDOG, first_only=True)
    # Gone from a second after a pet until half a second after the next one
    # was due, while the display changes.
    pets += pets_within(1)
    notify.close()
    os.remove("/run/notify")
    box.write_auth("LongPress_failed")
    time.sleep(5.5)
    notify, back = bind()
    # Then long enough of the status display that a pet due from passes
    # before it cannot hide a stop.
    for word, seconds in (("LongPress_failed", 7), ("Registration_possible", 7), ("OFF", 18)):
        box.write_auth(word)
        pets += pets_within(seconds)
    # By now LED1's first write is recorded, however late: READY=1 came after it.
    assert box.writes("led")[0][0] < pets[0] + 0.1, "ready before LED1's first write"
    gaps = [round(b - a, 1) for a, b in zip(pets, [*pets[1:], time.monotonic()])]
    assert max(gaps) < LONGEST_GAP, f"seconds between pets: {gaps}"
    resent = [stamp - back for stamp, text in statuses if text.endswith("3 red flashes, long press failed")]
    assert resent and resent[0] < PROMPT, f"the line of the outage not sent after it: {statuses}"
    lines = [text for _, text in statuses]
    assert any(line.endswith("RGB: solid blue, long press started") for line in lines), lines
    assert lines[-1] == "internet reachable · RGB: solid green, all services running", lines
    assert all(a != b for a, b in zip(lines, lines[1:])), f"a status line repeated: {lines}"
    assert [m.split(": ")[0] for m in box.messages("warning")] == ["Failed to notify the service manager, ignoring"]
    shown = len(statuses)
    # A FIFO nobody reads: the single LED's next write never completes.
    os.remove(brightness_path("led"))
    os.mkfifo(brightness_path("led"))
    assert len(pets := pets_within(20)) <= 1, f"{len(pets)} pets while a loop was stuck"  # one may have been due
    assert len(statuses) == shown, f"status lines while nothing changed: {statuses[shown:]}"
