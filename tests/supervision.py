#!/usr/bin/python3
"""The daemon under a service manager's notify socket: ready once both loops
have passed, watchdog pets only while both keep passing, the status line
sent once per change of what the LEDs show."""

import os
import socket
import time

from glowsim import namespace
from glowsim.recorder import brightness_path
from glowsim.sandbox import Sandbox

namespace.enter()
with Sandbox(os.environ["GLOWKEEPER_BINARY"]) as box:
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind("/run/notify")
    notify.settimeout(15)
    box.start(env={"NOTIFY_SOCKET": "/run/notify", "WATCHDOG_USEC": "10000000"})
    assert [notify.recv(128) for _ in range(3)] == [
        b"READY=1",
        "STATUS=internet reachable · RGB: solid green, all services running".encode(),
        b"WATCHDOG=1",
    ]
    # A FIFO nobody reads: the single LED's next write never completes.
    os.remove(brightness_path("led"))
    os.mkfifo(brightness_path("led"))
    messages, end = [], time.monotonic() + 20
    while (left := end - time.monotonic()) > 0:
        notify.settimeout(left)
        try:
            messages.append(notify.recv(128))
        except TimeoutError:
            pass
    pets = messages.count(b"WATCHDOG=1")
    assert pets <= 1, f"{pets} pets while a loop was stuck"  # one may have been due before
    # Nothing the LEDs show has changed since.
    assert set(messages) <= {b"WATCHDOG=1"}, messages
