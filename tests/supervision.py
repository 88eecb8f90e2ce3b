#!/usr/bin/python3
# The daemon under a service manager's notify socket: ready once both loops
# have passed, watchdog pets only while both keep passing, whichever display
# the RGB loop runs; a status line sent whenever, and only when, the display
# changes.

import os
import select
import socket
import time

from glowsim import namespace
from glowsim.recorder import brightness_path
from glowsim.sandbox import Sandbox


def pets_within(seconds):
    """Times of the pets received within `seconds`; status lines go to
    `statuses`, nothing else may come."""
    pets, end = [], time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0 and select.select([notify], [], [], left)[0]:
        message = notify.recv(256)
        if message.startswith(b"STATUS="):
            statuses.append(message[len(b"STATUS="):].decode())
            continue
        assert message == b"WATCHDOG=1", message
        pets.append(time.monotonic())
    return pets


namespace.enter()
# The authentication display from the start; dropped probes make the
# connectivity loop's first pass, and LED1's first write, take the probe's 3 s.
with Sandbox(os.environ["GLOWKEEPER_BINARY"], auth="Registration_possible", net="drop") as box:
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind("/run/notify")
    box.start(env={"NOTIFY_SOCKET": "/run/notify", "WATCHDOG_USEC": "10000000"})
    assert select.select([notify], [], [], 15)[0] and notify.recv(64) == b"READY=1", "not ready within 15 s"
    pets = [time.monotonic()]  # counted from READY=1
    statuses = []
    box.set_net("reachable")
    # Never 10 s without a pet: for two intervals of the authentication
    # display, then long enough of the status display that a pet due from
    # passes before it cannot hide a stop.
    for word, seconds in (("LongPress_started", 7), ("LongPress_failed", 7), ("Registration_possible", 7), ("OFF", 18)):
        box.write_auth(word)
        pets += pets_within(seconds)
    # By now LED1's first write is recorded, however late: READY=1 came after it.
    assert box.writes("led")[0][0] < pets[0] + 0.1, "ready before LED1's first write"
    gaps = [round(b - a, 1) for a, b in zip(pets, [*pets[1:], time.monotonic()])]
    assert max(gaps) < 10, f"seconds between pets: {gaps}"
    assert statuses[0] == "internet unreachable · RGB: slow blue, registration possible", statuses
    assert any(line.endswith("RGB: solid blue, long press started") for line in statuses), statuses
    assert statuses[-1] == "internet reachable · RGB: solid green, all services running", statuses
    assert all(a != b for a, b in zip(statuses, statuses[1:])), f"a status line repeated: {statuses}"
    shown = len(statuses)
    # A FIFO nobody reads: the single LED's next write never completes.
    os.remove(brightness_path("led"))
    os.mkfifo(brightness_path("led"))
    assert len(pets := pets_within(20)) <= 1, f"{len(pets)} pets while a loop was stuck"  # one may have been due
    assert len(statuses) == shown, f"status lines while nothing changed: {statuses[shown:]}"
