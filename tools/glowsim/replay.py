"""Journal captures: the update client's journal lines as `journalctl -o
short-monotonic` printed them on a real gateway, replayed into the simulated
journal with their timing (`journal replay FILE [from TEXT]`)."""

import os
import re
import threading
import time

STAMP = re.compile(r"\[\s*(\d+(?:\.\d+)?)\]\s?(.*)")


def read(path, since=None):
    """The lines to play as (seconds after the first, text after the time
    stamp), from the first line that holds `since` when given; raises
    ValueError for a malformed file or one with nothing to play."""
    lines = []
    with open(path) as file:
        for number, raw in enumerate(file, 1):
            if not raw.strip() or raw.startswith("-- "):  # journalctl's own notes, such as a boot
                continue
            match = STAMP.fullmatch(raw.rstrip("\n"))
            if not match:
                raise ValueError(f"{path}:{number}: expected '[SECONDS] LINE', got {raw.strip()!r}")
            lines.append((float(match[1]), match[2]))
    if since is not None:
        lines = lines[next((i for i, (_, text) in enumerate(lines) if since in text), len(lines)):]
    if not lines:
        raise ValueError("no journal line" + (f" holds {since!r}" if since is not None else "") + f" in {path}")
    return [(t - lines[0][0], text) for t, text in lines]


def play(sandbox, lines):
    """Writes the lines into the sandbox's journal at their times, on a
    thread of its own so that other changes go on meanwhile."""
    start = time.monotonic()

    def feed():
        for at, text in lines:
            time.sleep(max(0.0, start + at - time.monotonic()))
            try:
                sandbox.journal(text)  # dropped once the follower's output has ended
            except OSError:  # the sandbox closed meanwhile
                return

    threading.Thread(target=feed, daemon=True).start()


def beside(scenario_path, words):
    """A replay's file is named relative to the scenario file."""
    return words[:2] + [os.path.join(os.path.dirname(scenario_path), words[2])] + words[3:]
