"""Plays a scenario file on the real daemon in the sandbox: once per
alternative of its start and stop, recording what each run did, then prints
the run and a PASS or FAIL line per expectation."""

import datetime
import itertools
import json
import os
import shlex
import signal
import subprocess
import time
from dataclasses import dataclass, field

from . import lines, world
from .checks import check, segments
from .recorder import LEDS
from .sandbox import LOG_LINE, Sandbox
from .scenario import parse


@dataclass
class Timeline:
    """What one run did, in seconds since the start: LED writes, log and plain
    output lines, world changes, and how it ended."""
    args: list
    writes: list = field(default_factory=list)  # (t, led, value)
    logs: list = field(default_factory=list)  # (t, level, message)
    plain: dict = field(default_factory=dict)  # stream -> [(t, text)]
    world: list = field(default_factory=list)  # (t, change)
    end: float = 0.0
    ended: float = None  # when the daemon was seen ended
    status: int = None
    stop: dict = None  # took, final values, follower_left
    follower_started: bool = False
    ended_by_player: bool = False  # still running at the end, so the player stopped it


def run(scenario, binary, args, stop):
    """Plays the scenario once, with one alternative of start and stop."""
    tl = Timeline(args)
    last = max([t for t, _, _ in scenario.actions] + [e.high for e in scenario.expects if e.high != float("inf")] + [0])
    tl.world += [] if scenario.journalctl else [(0.0, "no journalctl")]
    with Sandbox(binary, journalctl=scenario.journalctl) as box:
        for change in scenario.world:
            world.apply(box, change)
            tl.world.append((0.0, change))
        box.start(*args)
        t0 = box.started_at
        tl.world.append((0.0, shlex.join(["start", *args])))
        for at, words, _ in sorted(scenario.actions, key=lambda action: action[0]):
            watch(box, tl, t0, t0 + at)
            change = shlex.join(["stop", *stop] if words == ["stop"] else words)
            tl.world.append((time.monotonic() - t0, change))
            if words == ["stop"]:
                tl.stop = stop_daemon(box, stop)
                tl.ended = tl.stop["sent"] + tl.stop["took"] - t0 if tl.ended is None else tl.ended
            elif box.running() or words != ["restart"]:
                world.apply(box, change)
        watch(box, tl, t0, t0 + last, until_end=True)
        if any(e.kind == "exit" for e in scenario.expects):
            watch(box, tl, t0, time.monotonic() + 5, until_end=True)
        if box.running():  # no stop line, or the daemon did not stop
            tl.ended_by_player = True
            box.signal(signal.SIGKILL if tl.stop else signal.SIGTERM)
        tl.status = box.process.wait(timeout=30)
        tl.ended = time.monotonic() - t0 if tl.ended is None else tl.ended
        for reader in box.readers:
            reader.join(timeout=5)
        time.sleep(0.3)  # the recorder's last writes
        tl.end = time.monotonic() - t0
        tl.writes = [(t - t0, led, value) for t, led, value in box.writes()]
        tl.logs = log_lines(box.stdout, t0)
        tl.plain = {name: [(t - t0, text) for t, text in output if name == "stderr" or not LOG_LINE.match(text)]
                    for name, output in (("stdout", box.stdout), ("stderr", box.stderr))}
        tl.follower_started = box.follower_pid() is not None
        if tl.stop is not None:
            tl.stop["sent"] -= t0
    return tl


def watch(box, tl, t0, moment, until_end=False):
    """Waits until the moment (with until_end, no longer than the daemon runs),
    noting when the daemon is first seen ended."""
    if tl.ended is None and box.wait_for(lambda: not box.running(), max(0.0, moment - time.monotonic())):
        tl.ended = time.monotonic() - t0
    if not until_end:
        time.sleep(max(0.0, moment - time.monotonic()))


def log_lines(output, t0):
    """Log lines as (t, level, message) at the daemon's own time stamp (to the
    millisecond), put on the monotonic clock by the line read soonest: the
    reader thread may wake late on a loaded machine."""
    stamped = []
    for t, text in output:
        match = LOG_LINE.match(text)
        if match:
            stamp = datetime.datetime.strptime(text[1:24], "%Y-%m-%d %H:%M:%S.%f").timestamp()
            stamped.append((t, stamp, match.group(1), match.group(2)))
    offset = min((t - stamp for t, stamp, _, _ in stamped), default=0.0)
    return [(stamp + offset - t0, level, message) for _, stamp, level, message in stamped]


def stop_daemon(box, how):
    """Sends the stop signal and waits for the daemon's end."""
    sig = signal.SIGTERM if how[0] == "TERM" else signal.SIGINT
    sent = time.monotonic()
    if how[1:] == ["all"] and box.follower_alive():  # as a service manager does
        os.kill(box.follower_pid(), sig)
    box.signal(sig, group=how[1:] == ["group"])
    try:
        status = box.wait(30)
    except subprocess.TimeoutExpired:
        status = None
    took = time.monotonic() - sent
    left = not box.wait_for(lambda: not box.follower_alive(), 2)
    return {"sent": sent, "status": status, "took": took, "follower_left": left,
            "values": {led: box.value(led) for led in LEDS}}


def events(tl):
    """The run as (time, text) lines: world changes, what each LED shows, log and plain output."""
    rows = [(t, f"> {change}") for t, change in tl.world]
    rows += [(s[0], f"{'LED1' if lane == 'led' else 'RGB '} {s[2]}") for lane in ("led", "rgb")
             for s in segments(tl, lane)[1:]]
    rows += [(t, f"{level:7} {message}") for t, level, message in tl.logs]
    rows += [(t, f"{stream:7} {text}") for stream, lines in tl.plain.items() for t, text in lines]
    return sorted(rows, key=lambda row: row[0])


def record(tl, name):
    return {"name": name, "args": tl.args, "end": tl.end, "world": tl.world,
            "lanes": {lane: segments(tl, lane) for lane in ("led", "rgb")},
            "errors": [t for t, level, _ in tl.logs if level == "error"]}


def play(path, binary, record_path=None):
    """Plays a scenario once per alternative, prints each timeline and a PASS
    or FAIL line per expectation; returns True when every one held."""
    scenario = parse(path)
    passed = True
    for number, (args, stop) in enumerate(itertools.product(scenario.starts, scenario.stops)):
        tl = run(scenario, binary, args, stop)
        print(f"--- {path}: run {number + 1}: start {shlex.join(args)}" + (f", stop {' '.join(stop)}" if stop else ""))
        for t, text in events(tl):
            print(f"{max(t, 0.0):8.3f}  {text}")  # a write stamped a clock tick early
        unknown = [f"{level} {text}" for _, level, text in tl.logs if not lines.known("log", level, text)]
        unknown += [text for _, text in tl.plain["stdout"] if not lines.known("stdout", None, text)]
        for text in unknown:  # expectations are checked against the known lines
            passed = False
            print(f"FAIL  a line glowsim/lines.py does not know: {text!r}")
        for e in scenario.expects:
            ok, detail = check(tl, e)
            passed &= ok
            print(f"{'PASS' if ok else 'FAIL'}  line {e.number}: {e.text}" + ("" if ok else f"  -- {detail}"))
        if record_path and number == 0:
            with open(record_path, "w") as file:
                json.dump(record(tl, os.path.splitext(os.path.basename(path))[0]), file, indent=1)
    print(f"{'PASS' if passed else 'FAIL'}  {path}", flush=True)
    return passed
