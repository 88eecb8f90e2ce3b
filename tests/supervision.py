#!/usr/bin/env python3
"""The daemon under a service manager's notify socket: ready once both loops
have passed, watchdog pets only while both keep passing."""

import os
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from glowsim import namespace  # noqa: E402
from glowsim.recorder import brightness_path  # noqa: E402
from glowsim.sandbox import Sandbox  # noqa: E402


def main():
    namespace.enter()
    with Sandbox(os.environ["GLOWKEEPER_BINARY"]) as box:
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind("/run/notify")
        notify.settimeout(15)
        box.start(env={"NOTIFY_SOCKET": "/run/notify", "WATCHDOG_USEC": "10000000"})
        assert notify.recv(64) == b"READY=1"
        assert notify.recv(64) == b"WATCHDOG=1"
        # A FIFO nobody reads: the single LED's next write never completes.
        os.remove(brightness_path("led"))
        os.mkfifo(brightness_path("led"))
        pets, end = 0, time.monotonic() + 20
        while time.monotonic() < end:
            notify.settimeout(max(end - time.monotonic(), 0.01))
            try:
                pets += notify.recv(64) == b"WATCHDOG=1"
            except TimeoutError:
                pass
        assert pets <= 1, f"{pets} pets while a loop was stuck"  # one may have been due before


if __name__ == "__main__":
    main()
