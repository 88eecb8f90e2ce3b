"""Scenario files: a timed script of world changes and what the LEDs and the
log must show, played on the real daemon. One line each, `#` comments:

    world CHANGE | world no journalctl    the world before the start
    start [ARGS] [| ARGS ...]             the daemon starts: time 0
    at T CHANGE                           a world change T seconds after the start
    at T stop TERM|INT [group|all] [| ...]   stop signal to the daemon, its process group, or also its follower
    expect [A..B] WHAT                    checked over that window (the whole run without one)

CHANGE is the live view's vocabulary (world.py). WHAT is one of
    led|rgb solid on|COLOUR [every S] [dipping]   never dark (dipping: dark for at most 0.2 s at times);
                                          rewritten every S s
    led|rgb dark                          never lit in the window
    led|rgb flashes N on|COLOUR [every S] every complete burst: N flashes at 200 ms; bursts S s apart
    led|rgb blink on|COLOUR slow          500 ms lit, 500 ms dark
    [no] log [LEVEL] ["TEXT"] [times N] [first]    a log line (TEXT ending in * matches a beginning; \\t is a tab)
    [no] stdout|stderr "TEXT" [times N]   a plain output line
    untouched                             no LED written, no journal follower started
    exit N                                the daemon ended by itself with status N
    stop in A..B                          after the stop signal: exit 0 within A..B s, every LED dark,
                                          LED1 reset before the RGB LED, follower gone, last line "Main thread exiting"
Alternatives (`|`) play the scenario once per alternative.
"""

import datetime
import itertools
import re
import os
import shlex
import signal
import subprocess
import time
from dataclasses import dataclass, field

from . import world
from .recorder import COLOURS, LEDS, RGB
from .sandbox import LOG_LINE, Sandbox

TRANSIENT = 0.05  # a colour's three writes land within this; shorter segments are not shown
FAST, SLOW = 0.2, 0.5
# A late wake-up only lengthens a phase or a period (sanitizer builds and a
# loaded machine), so more lateness than earliness is accepted.
PHASE_TOLERANCE, PERIOD_TOLERANCE = (-0.05, 0.09), (-0.1, 0.2)
BURST_GAP = 0.5  # dark longer than this ends a burst; with `every`, so does the next period
COLOUR = "|".join(["on", *sorted(set(COLOURS.values()) - {"dark"})])
QUOTED = r'"(?:[^"\\]|\\.)*"'
NUMBER = r"\d+(?:\.\d+)?"
# What may follow "expect [A..B]"; a space stands for any run of blanks.
EXPECTATIONS = {
    "solid": rf"(?P<lane>led|rgb) solid (?P<colour>{COLOUR})(?: every (?P<every>{NUMBER}))?(?: (?P<dipping>dipping))?",
    "flashes": rf"(?P<lane>led|rgb) flashes (?P<count>\d+) (?P<colour>{COLOUR})(?: every (?P<every>{NUMBER}))?",
    "blink": rf"(?P<lane>led|rgb) blink (?P<colour>{COLOUR}) slow",
    "dark": r"(?P<lane>led|rgb) dark",
    "output": rf"(?P<no>no )?(?P<stream>log|stdout|stderr)(?: (?P<level>debug|info|warning|error))?"
              rf"(?: (?P<text>{QUOTED}))?(?: times (?P<times>\d+)| (?P<first>first))?",
    "untouched": r"untouched",
    "exit": r"exit (?P<status>\d+)",
    "stop": rf"stop in (?P<low>{NUMBER})\.\.(?P<high>{NUMBER})",
}
GRAMMAR = {kind: re.compile(pattern.replace(" ", r"\s+") + r"\s*$") for kind, pattern in EXPECTATIONS.items()}
WINDOW = re.compile(rf"expect\s+(?:(?P<low>{NUMBER})\.\.(?P<high>{NUMBER})\s+)?")
EXPECTED = {
    "world": "'world CHANGE' or 'world no journalctl'",
    "start": "'start [ARGS] [| ARGS ...]'",
    "at": "'at SECONDS CHANGE' or 'at SECONDS stop TERM|INT [group|all] [| ...]'",
    "expect": "'expect [A..B] led|rgb solid|flashes|blink|dark ...', '[no] log|stdout|stderr ...', "
              "'untouched', 'exit N' or 'stop in A..B'",
}


@dataclass
class Expectation:
    number: int
    text: str
    kind: str
    low: float
    high: float
    args: dict


@dataclass
class Scenario:
    path: str
    world: list = field(default_factory=list)
    starts: list = field(default_factory=list)
    actions: list = field(default_factory=list)  # (seconds, words after the time)
    stops: list = field(default_factory=lambda: [None])
    expects: list = field(default_factory=list)
    journalctl: bool = True


def alternatives(words):
    return [list(group) for key, group in itertools.groupby(words, lambda w: w == "|") if not key]


def expectation(number, text):
    """Parses an expect line; raises ValueError when it is none."""
    window = WINDOW.match(text)
    if not window:
        raise ValueError
    rest = text[window.end():]
    for kind, pattern in GRAMMAR.items():
        match = pattern.match(rest)
        if match:
            low, high = float(window["low"] or 0), float(window["high"] or "inf")
            return Expectation(number, text, kind, low, high, match.groupdict())
    raise ValueError


def parse(path):
    """Reads a scenario file; a malformed line raises ValueError naming the
    file, the line and what was expected, before anything runs."""
    scenario = Scenario(path)
    with open(path) as file:
        for number, raw in enumerate(file, 1):
            text = re.match(rf'(?:{QUOTED}|[^"#])*', raw).group().strip()  # without the comment
            words = text.split()[:1]
            try:
                words = shlex.split(text)
                if not words:
                    continue
                if words[0] == "world" and words[1:] == ["no", "journalctl"]:
                    scenario.journalctl = False
                elif words[0] == "world" and words[1:] in (["restart"], ["journal", "end"]):
                    raise ValueError  # the daemon and its follower exist only after the start
                elif words[0] == "world":
                    scenario.world.append(shlex.join(world.parse(shlex.join(words[1:]))))
                elif words[0] == "start":
                    scenario.starts = alternatives(words[1:]) or [[]]
                elif words[0] == "at" and words[2:3] == ["stop"]:
                    scenario.stops = alternatives(words[3:])
                    if not scenario.stops or not all(
                            stop[:1] in (["TERM"], ["INT"]) and stop[1:] in ([], ["group"], ["all"])
                            for stop in scenario.stops):
                        raise ValueError
                    scenario.actions.append((float(words[1]), ["stop"]))
                elif words[0] == "at":
                    scenario.actions.append((float(words[1]), world.parse(shlex.join(words[2:]))))
                elif words[0] == "expect":
                    scenario.expects.append(expectation(number, text))
                else:
                    raise ValueError
            except (ValueError, IndexError):
                what = EXPECTED.get(words[0] if words else "", "world, start, at or expect")
                raise ValueError(f"{path}:{number}: expected {what}, got {text!r}") from None
    if not scenario.starts:
        raise ValueError(f"{path}: expected a 'start' line, got none")
    return scenario


# --- playing ----------------------------------------------------------------
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
    status: int = None
    stop: dict = None  # took, final values, follower_left
    follower_started: bool = False


def run(scenario, binary, args, stop):
    """Plays the scenario once, with one alternative of start and stop."""
    tl = Timeline(args)
    last = max([t for t, _ in scenario.actions] + [e.high for e in scenario.expects if e.high != float("inf")] + [0])
    tl.world += [] if scenario.journalctl else [(0.0, "no journalctl")]
    with Sandbox(binary, journalctl=scenario.journalctl) as box:
        for change in scenario.world:
            world.apply(box, change)
            tl.world.append((0.0, change))
        box.start(*args)
        t0 = box.started_at
        tl.world.append((0.0, shlex.join(["start", *args])))
        for at, words in sorted(scenario.actions, key=lambda action: action[0]):
            time.sleep(max(0.0, t0 + at - time.monotonic()))
            change = shlex.join(["stop", *stop] if words == ["stop"] else words)
            tl.world.append((time.monotonic() - t0, change))
            if words == ["stop"]:
                tl.stop = stop_daemon(box, stop)
            elif box.running() or words != ["restart"]:
                world.apply(box, change)
        box.wait_for(lambda: not box.running(), max(0.0, t0 + last - time.monotonic()))
        if any(e.kind == "exit" for e in scenario.expects):
            box.wait_for(lambda: not box.running(), 5)
        if box.running():  # no stop line, or the daemon did not stop
            box.signal(signal.SIGKILL if tl.stop else signal.SIGTERM)
        tl.status = box.process.wait(timeout=30)
        for reader in box.readers:
            reader.join(timeout=5)
        time.sleep(0.3)  # the recorder's last writes
        tl.end = time.monotonic() - t0
        tl.writes = [(t - t0, led, value) for t, led, value in box.writes()]
        tl.logs = log_lines(box.stdout, t0)
        tl.plain = {name: [(t - t0, text) for t, text in lines if name == "stderr" or not LOG_LINE.match(text)]
                    for name, lines in (("stdout", box.stdout), ("stderr", box.stderr))}
        tl.follower_started = box.follower_pid() is not None
        if tl.stop is not None:
            tl.stop["sent"] -= t0
    return tl


def log_lines(lines, t0):
    """Log lines as (t, level, message) at the daemon's own time stamp (to the
    millisecond), put on the monotonic clock by the line read soonest: the
    reader thread may wake late on a loaded machine."""
    stamped = []
    for t, text in lines:
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


# --- checking -------------------------------------------------------------
def segments(tl, lane, transient=TRANSIENT):
    """What a lane showed: [start, end, colour] from its writes. The moments
    between the three writes of one RGB colour are not shown: the colour
    reached starts where its writes began."""
    state = {led: "0" for led in LEDS}
    kept = [(0.0, "dark")]
    for t, led, value in tl.writes:
        if (lane == "led") != (led == "led"):
            continue
        state[led] = value
        colour = (COLOURS[tuple(int(state[c] == "1") for c in RGB)] if lane == "rgb"
                  else "on" if value == "1" else "dark")
        if colour == kept[-1][1]:
            continue
        if len(kept) > 1 and t - kept[-1][0] < transient:
            kept[-1] = (kept[-1][0], colour)
        else:
            kept.append((t, colour))
        if len(kept) > 1 and kept[-1][1] == kept[-2][1]:
            kept.pop()
    return [[t, end, colour] for (t, colour), (end, _) in zip(kept, kept[1:] + [(tl.end, None)])]


def near(value, target, tolerance=PHASE_TOLERANCE):
    return tolerance[0] <= value - target <= tolerance[1]


def check_lane(tl, e):
    """The shape of what one LED showed in the window: never another colour,
    then solid, dark, slow blink or bursts of fast flashes."""
    segs = [s for s in segments(tl, e.args["lane"]) if s[1] > e.low and s[0] < e.high]
    lit = [s for s in segs if s[2] != "dark"]
    if e.kind == "dark":
        return not lit, f"lit {[(round(s[0], 2), s[2]) for s in lit[:3]]}"
    wrong = [s for s in lit if s[2] != e.args["colour"]]
    if wrong:
        return False, f"showed {wrong[0][2]} at {wrong[0][0]:.2f}s"
    every = float(e.args["every"]) if e.args.get("every") else None
    return {"solid": check_solid, "blink": check_blink, "flashes": check_flashes}[e.kind](tl, e, lit, every)


def check_solid(tl, e, lit, every):
    low, high = e.low, min(e.high, tl.end)
    dips = [min(s[1], high) - max(s[0], low) for s in segments(tl, e.args["lane"], transient=0)
            if s[2] == "dark" and s[0] > 0 and s[1] >= low and s[0] <= high]  # even a moment; none before any write
    shape_ok = bool(dips) and max(dips) <= 0.2 if e.args["dipping"] else not dips
    last = "led" if e.args["lane"] == "led" else "blue"  # the write that completes the colour
    # A write's time comes from its file's time stamp, on the kernel's coarse
    # clock: up to a tick early, so the first write can show just before zero.
    stamps = [t for t, led, _ in tl.writes if led == last and low - 0.01 <= t <= high]
    gaps = [b - a for a, b in zip([low] + stamps, stamps + [high])]
    rewritten = every is None or (len(stamps) >= 2 and max(gaps) <= every + PERIOD_TOLERANCE[1] and
                                  all(near(g, every, PERIOD_TOLERANCE) for g in gaps[1:-1]))
    return shape_ok and rewritten, f"dark dips {[round(d, 2) for d in dips]}, " \
                                   f"written at {[round(t, 2) for t in stamps]}"


def check_blink(tl, e, lit, every):
    inside = [s for s in lit if s[0] >= e.low and s[1] <= e.high]
    phases = [s[1] - s[0] for s in inside] + [b[0] - a[1] for a, b in zip(inside, inside[1:])]
    return len(inside) >= 2 and all(near(p, SLOW) for p in phases), f"phases {[round(p, 2) for p in phases]}"


def check_flashes(tl, e, lit, every):
    bursts = []  # every lit segment of the run in bursts; those inside the window count
    for seg in (s for s in segments(tl, e.args["lane"]) if s[2] != "dark"):
        if bursts and seg[0] - bursts[-1][-1][1] <= BURST_GAP and (
                every is None or seg[0] < bursts[-1][0][0] + every + PERIOD_TOLERANCE[0]):
            bursts[-1].append(seg)
        else:
            bursts.append([seg])
    bursts = [b for b in bursts if b[0][0] >= e.low and b[-1][1] <= e.high]
    phases = [s[1] - s[0] for b in bursts for s in b] + [y[0] - x[1] for b in bursts for x, y in zip(b, b[1:])]
    periods = [b[0][0] - a[0][0] for a, b in zip(bursts, bursts[1:])]
    ok = bursts and all(len(b) == int(e.args["count"]) for b in bursts) and all(near(p, FAST) for p in phases)
    ok = ok and (every is None or (periods and all(near(p, every, PERIOD_TOLERANCE) for p in periods)))
    return bool(ok), f"bursts {[len(b) for b in bursts]}, phases {min(phases, default=0):.2f}.." \
                     f"{max(phases, default=0):.2f}, periods {[round(p, 2) for p in periods]}"


def check_output(tl, e):
    level, quoted = e.args["level"], e.args["text"]
    text = quoted and quoted[1:-1].replace('\\"', '"').replace("\\t", "\t")

    def matches(message):  # a text ending in * matches a beginning
        return text is None or (message.startswith(text[:-1]) if text.endswith("*") else message == text)

    if e.args["first"]:
        first = tl.logs[0] if tl.logs else (None, None, "")
        return level in (None, first[1]) and matches(first[2]), f"first line {first[1:]}"
    if e.args["stream"] == "log":
        found = [f"{lvl} {msg}" for t, lvl, msg in tl.logs
                 if level in (None, lvl) and matches(msg) and e.low <= t <= e.high]
    else:
        found = [msg for t, msg in tl.plain[e.args["stream"]] if matches(msg) and e.low <= t <= e.high]
    count = 0 if e.args["no"] else int(e.args["times"]) if e.args["times"] else None
    ok = len(found) == count if count is not None else bool(found)
    return ok, f"{len(found)} found{': ' + found[0] if found else ''}"


def check_stop(tl, e):
    stop = tl.stop
    if stop is None:
        return False, "no stop line"
    order = [led for t, led, _ in tl.writes if t >= stop["sent"]]
    ordered = order[-3:] == list(RGB) and "led" in order[:-3]
    debug = tl.args and tl.args[0].startswith("d")
    last_ok = not debug or (tl.logs and tl.logs[-1][1:] == ("debug", "Main thread exiting"))
    dark = set(stop["values"].values()) == {"0"}
    in_time = float(e.args["low"]) <= stop["took"] <= float(e.args["high"])
    ok = stop["status"] == 0 and in_time and dark and ordered and not stop["follower_left"] and last_ok
    return bool(ok), (f"exit {stop['status']} after {stop['took']:.2f}s, values {stop['values']}, "
                      f"resets {order[-6:]}, follower left {stop['follower_left']}, "
                      f"last line {tl.logs[-1][2] if tl.logs else None!r}")


def check(tl, e):
    """Whether the run met the expectation, and what was seen."""
    if e.kind in ("solid", "flashes", "blink", "dark"):
        return check_lane(tl, e)
    if e.kind == "untouched":
        return not tl.writes and not tl.follower_started, f"{len(tl.writes)} writes, follower {tl.follower_started}"
    if e.kind == "exit":
        return tl.stop is None and tl.status == int(e.args["status"]), f"exit status {tl.status}"
    if e.kind == "stop":
        return check_stop(tl, e)
    return check_output(tl, e)


# --- reporting --------------------------------------------------------------
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
    import json
    import os.path

    scenario = parse(path)
    passed = True
    for number, (args, stop) in enumerate(itertools.product(scenario.starts, scenario.stops)):
        tl = run(scenario, binary, args, stop)
        print(f"--- {path}: run {number + 1}: start {shlex.join(args)}" + (f", stop {' '.join(stop)}" if stop else ""))
        for t, text in events(tl):
            print(f"{t:8.3f}  {text}")
        for e in scenario.expects:
            ok, detail = check(tl, e)
            passed &= ok
            print(f"{'PASS' if ok else 'FAIL'}  line {e.number}: {e.text}" + ("" if ok else f"  -- {detail}"))
        if record_path and number == 0:
            with open(record_path, "w") as file:
                json.dump(record(tl, os.path.splitext(os.path.basename(path))[0]), file, indent=1)
    print(f"{'PASS' if passed else 'FAIL'}  {path}", flush=True)
    return passed
