#!/usr/bin/python3
"""The daemon under a service manager's notify socket: ready once both loops
have passed, watchdog pets only while both keep passing."""

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
    assert [notify.recv(64), notify.recv(64)] == [b"READY=1", b"WATCHDOG=1"]
    # A FIFO nobody reads: the single LED's next write never completes.
    os.remove(brightness_path("led"))
    os.mkfifo(brightness_path("led"))
    pets, end = 0, time.monotonic() + 20
    while (left := end - time.monotonic()) > 0:
        notify.settimeout(left)
        try:
            pets += notify.recv(64) == b"WATCHDOG=1"
        except TimeoutError:
            pass
    assert pets <= 1, f"{pets} pets while a loop was stuck"  # one may have been due before
