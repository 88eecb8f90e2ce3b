#!/usr/bin/python3
# Faults the daemon must survive: one row each, played against the real binary
# in the glowsim sandbox. In every row the daemon shows what it still can,
# reports exactly the failures expected, and stops on SIGTERM with status 0,
# within 10 s, with every LED dark and its journal follower gone.
#
# faults.py ROW runs one row (exit 77 where no namespace can be made, or
# without root for a row that runs the daemon as another user);
# faults.py --list names the rows.

import os
import random
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Callable

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from glowsim import namespace, world  # noqa: E402
from glowsim.recorder import LEDS, brightness_path  # noqa: E402
from glowsim.sandbox import AUTH_FILE, CGROUP_ROOTS, Sandbox  # noqa: E402

BINARY = os.environ.get("GLOWKEEPER_BINARY", "build/glowkeeper")
STOP_BOUND = 10.0
UNKNOWN = "Authentication check: unknown state"


def opening(led):
    return f"Error opening file: {brightness_path(led)}"


def flood(box, seconds=2.0, rate=5000):
    """Thousands of unknown journal lines a second, then one install."""
    batch = b"".join(world.journal_line(f"noise {n}").encode() + b"\n" for n in range(50))
    sent, began = 0, time.monotonic()
    while time.monotonic() - began < seconds:
        os.write(box.journal_fd, batch)
        sent += 50
        time.sleep(max(0.0, began + sent / rate - time.monotonic()))
    assert sent / (time.monotonic() - began) > 2000, "the daemon could not keep up with the flood"
    world.apply(box, "journal install")


def huge_binary_line(box):
    os.write(box.journal_fd, os.urandom(1 << 20).replace(b"\n", b"\0") + b"\n")
    world.apply(box, "journal failure")


def flap(box):
    """A hundred words a second, atomically replaced, until the daemon ends."""
    def run():
        while box.running():
            box.write_auth(random.choice(("OFF", *world.AUTH_WORDS)))
            time.sleep(0.01)
    threading.Thread(target=run, daemon=True).start()


def delete_and_recreate(box):
    time.sleep(1.2)
    box.remove_auth()
    assert box.wait_for_log(UNKNOWN, 5, "error")
    box.write_auth("LongPress_started")


def storm(box):
    assert box.wait_for_write("led", "1", 5)
    # Spread out, so that the daemon takes many of them rather than one merged.
    for n in range(100):
        if box.running():
            box.signal((signal.SIGTERM, signal.SIGINT)[n % 2], group=n % 3 == 0)
            time.sleep(0.01)


def stop_at_startup(box):
    assert box.wait_for(lambda: "Debug mode activated" in box.messages(), 5, step=0.001)
    box.signal(signal.SIGTERM)
    box.wait(STOP_BOUND)


def unsearchable_v2_root():
    os.chmod(CGROUP_ROOTS["v2"], 0o700)
    for name in ("tiviad", "pelmad"):
        os.makedirs(f"{CGROUP_ROOTS['v1']}/{name}.service")


def unit_loop_and_file():
    """tiviad's unit a symlink to itself, pelmad's a plain file: neither counts as running."""
    tiviad, pelmad = (f"{CGROUP_ROOTS['v2']}/{name}.service" for name in ("tiviad", "pelmad"))
    os.rmdir(tiviad)
    os.symlink(tiviad, tiviad)
    os.rmdir(pelmad)
    open(pelmad, "w").close()


def read_only(path):
    for options in (["--bind"], ["-o", "remount,bind,ro"]):
        subprocess.run(["mount", *options, path, path], check=True, env={"PATH": namespace.SYSTEM_PATH})


@dataclass
class Row:
    name: str
    before: Callable = lambda: None  # changes the world before the start
    during: Callable = lambda box: None  # after the start
    options: dict = field(default_factory=dict)
    logs: tuple = ()  # debug messages that must appear
    shows: str = "led"  # LEDs that must be lit (written 1)
    errors: set = field(default_factory=set)  # exactly the error lines logged
    stderr: tuple = ()


ROWS = [
    Row("journal_flood", during=flood, logs=("Update status: 3",), shows="led blue"),
    Row("journal_huge_binary_line", during=huge_binary_line, logs=("Update status: 99",), shows="led red"),
    # Run unprivileged: the unified root cannot be searched, the legacy one still answers.
    Row("cgroup_root_unsearchable", before=unsearchable_v2_root, options={"user": "nobody"},
        logs=("Service check failed: 4",), shows="led red"),
    Row("cgroup_unit_loop_and_file", before=unit_loop_and_file, logs=("Service check failed: 3",), shows="led red"),
    Row("brightness_is_a_directory",
        before=lambda: os.remove(brightness_path("led")) or os.mkdir(brightness_path("led")),
        logs=("Internet connection available",), shows="green", errors={opening("led")}),
    Row("brightness_read_only", before=lambda: read_only(brightness_path("blue")), shows="led green",
        errors={opening("blue")}),
    Row("auth_file_is_a_fifo", before=lambda: os.mkfifo(AUTH_FILE), logs=("Authentication check changed 0 -> -2",),
        shows="led green", errors={UNKNOWN}, stderr=(f"Error reading file {AUTH_FILE}",)),
    Row("auth_file_flapping", options={"auth": "OFF"}, during=flap, logs=("Authentication check changed",)),
    Row("auth_file_deleted_and_recreated", options={"auth": "OFF"}, during=delete_and_recreate,
        logs=("Authentication check changed 0 -> -2", "Authentication check changed -2 -> 2"),
        shows="led blue", errors={UNKNOWN}),
    Row("stop_signal_storm", during=storm),
    Row("stop_signal_during_startup", during=stop_at_startup, shows=""),
]


def play(row):
    with Sandbox(BINARY, **row.options) as box:
        row.before()
        box.start("d")
        row.during(box)

        def shown():
            debug = box.messages("debug")
            return (all(any(text in m for m in debug) for text in row.logs)
                    and all(any(w[2] == "1" for w in box.writes(led)) for led in row.shows.split()))

        assert box.wait_for(shown, 10), f"not shown: {row.logs} {row.shows}"
        sent = time.monotonic()
        box.signal(signal.SIGTERM)
        status, took = box.wait(STOP_BOUND + 5), time.monotonic() - sent
        assert status == 0 and took < STOP_BOUND, f"stopped with {status} after {took:.1f}s"
        # A follower left behind holds the daemon's standard error open.
        assert box.wait_for(lambda: not box.follower_alive(), 2), "journal follower left behind"
        for reader in box.readers:
            reader.join(timeout=5)
        assert set(box.messages("error")) == row.errors, f"errors: {set(box.messages('error'))}"
        assert all(line in box.plain_output("stderr") for line in row.stderr), box.plain_output("stderr")
        assert box.messages()[-1:] == ["Main thread exiting"] and box.messages().count("Main thread exiting") == 1
        left = {led: box.value(led) for led in LEDS if os.path.isfile(brightness_path(led))}
        assert set(left.values()) == {"0"}, f"LEDs left lit: {left}"


if __name__ == "__main__":
    rows = {row.name: row for row in ROWS}
    if sys.argv[1:] == ["--list"]:
        print("\n".join(rows))
        sys.exit(0)
    if len(sys.argv) != 2 or sys.argv[1] not in rows:
        sys.exit(f"usage: faults.py --list | ROW ({', '.join(rows)})")
    row = rows[sys.argv[1]]
    if "user" in row.options:
        namespace.require_root(row.name, f"it runs the daemon as {row.options['user']}, a second user")
    namespace.enter()
    play(row)
    print(f"{sys.argv[1]}: survived")
