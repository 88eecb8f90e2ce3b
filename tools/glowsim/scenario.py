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
    [no] log [LEVEL] ["TEXT"] [times N] [first]    a log line whose message is TEXT
    [no] stdout|stderr "TEXT" [times N]   a plain output line that is TEXT
    untouched                             no LED written, no journal follower started
    exit N                                the daemon ended by itself with status N
    stop in A..B                          after the stop signal: exit 0 within A..B s, every LED dark,
                                          LED1 reset before the RGB LED, follower gone, last line "Main thread exiting"
Alternatives (`|`) play the scenario once per alternative.

TEXT is the whole line; * in it stands for any text (\\t is a tab). A TEXT
that no line of the daemon can match is refused before anything runs, and so
is a window where no daemon runs: an empty one, or one that starts after the
stop; one that reaches past the daemon's end fails, saying so.
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

from . import lines, replay, world
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
LANE_KINDS = ("solid", "flashes", "blink", "dark")
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
    actions: list = field(default_factory=list)  # (seconds, words after the time, line number)
    stops: list = field(default_factory=lambda: [None])
    stop_line: int = None
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
            e = Expectation(number, text, kind, low, high, match.groupdict())
            if e.kind == "output":
                refuse_unprintable(e)
            return e
    raise ValueError


class Refusal(ValueError):
    """A line that parses but could never be checked as written."""

    def __init__(self, what, number=None):
        super().__init__(what)
        self.number = number


def refuse_unprintable(e):
    """An expected line the daemon can never print is a check that cannot pass,
    or with `no`, one that cannot fail."""
    stream, level, text = e.args["stream"], e.args["level"], quoted_text(e.args["text"])
    if lines.can_meet(stream, level, text):
        return
    what = f"no {stream} line of the daemon" + (f" at level {level}" if level else "")
    what += f" is {text!r}" if text is not None else ""
    if text is not None and lines.can_meet(stream, level, text + "*"):
        what += " (TEXT is the whole line: end it with * to match a beginning)"
    elif level and text is not None and lines.can_meet(stream, None, text):
        what += " (it is printed at another level)"
    raise Refusal(what + (": this check cannot fail" if e.args["no"] else ""))


def quoted_text(quoted):
    return quoted and quoted[1:-1].replace('\\"', '"').replace("\\t", "\t")


def refuse_unrunnable(scenario):
    """Windows and changes where no daemon runs to show anything: each is a
    check that passes or fails by accident."""
    stop = next((at for at, words, _ in scenario.actions if words == ["stop"]), None)
    for at, words, number in scenario.actions:
        if stop is not None and at > stop:
            raise Refusal(f"the change at {at:g} s comes after the stop at {stop:g} s: no daemon sees it", number)
    for e in scenario.expects:
        where = f"the window {e.low:g}..{e.high:g}"
        whole = e.kind in ("untouched", "exit", "stop") or e.args.get("first")
        if whole and e.high != float("inf"):
            raise Refusal("this check is about the whole run: drop the window", e.number)
        if e.low >= e.high:
            raise Refusal(f"{where} is empty", e.number)
        if e.kind == "stop" and stop is None:
            raise Refusal("'stop in' needs an 'at SECONDS stop' line", e.number)
        if e.kind == "exit" and int(e.args["status"]) == 0:
            raise Refusal("the daemon exits with 0 only after a stop signal: 'stop in A..B' checks that",
                          e.number)
        if e.kind == "exit" and stop is not None:
            raise Refusal(f"'exit' is for a daemon that ends by itself, but line {scenario.stop_line} stops it",
                          e.number)
        if stop is None or whole:
            continue
        if e.low >= stop:
            raise Refusal(f"{where} starts at or after the stop at {stop:g} s, when the daemon is ending: "
                          "'stop in A..B' checks that", e.number)


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
                    if scenario.stop_line is not None:
                        raise Refusal(f"a second stop line; the first is line {scenario.stop_line}")
                    scenario.stop_line = number
                    scenario.stops = alternatives(words[3:])
                    if not scenario.stops or not all(
                            stop[:1] in (["TERM"], ["INT"]) and stop[1:] in ([], ["group"], ["all"])
                            for stop in scenario.stops):
                        raise ValueError
                    scenario.actions.append((float(words[1]), ["stop"], number))
                elif words[0] == "at" and words[2:4] == ["journal", "replay"]:
                    try:  # a file that cannot be played says why
                        change = world.parse(shlex.join(replay.beside(path, words[2:])))
                    except ValueError as error:
                        raise Refusal(str(error)) from None
                    scenario.actions.append((float(words[1]), change, number))
                elif words[0] == "at":
                    scenario.actions.append((float(words[1]), world.parse(shlex.join(words[2:])), number))
                elif words[0] == "expect":
                    scenario.expects.append(expectation(number, text))
                else:
                    raise ValueError
            except Refusal as refusal:
                raise ValueError(f"{path}:{number}: {refusal}") from None
            except (ValueError, IndexError):
                what = EXPECTED.get(words[0] if words else "", "world, start, at or expect")
                raise ValueError(f"{path}:{number}: expected {what}, got {text!r}") from None
    if not scenario.starts:
        raise ValueError(f"{path}: expected a 'start' line, got none")
    try:
        refuse_unrunnable(scenario)
    except Refusal as refusal:
        raise ValueError(f"{path}:{refusal.number}: {refusal}") from None
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


LANE_NAME = {"led": "LED1", "rgb": "the RGB LED"}
FLASH_LONGEST = 0.35  # a lit phase longer than this is no fast flash


def check_lane(tl, e):
    """The shape of what one LED showed in the window: never another colour,
    then solid, dark, slow blink or bursts of fast flashes. A failure says
    what the LED showed instead."""
    segs = [s for s in segments(tl, e.args["lane"]) if s[1] > e.low and s[0] < e.high]
    lit = [s for s in segs if s[2] != "dark"]
    if e.kind == "dark":
        ok, why = not lit, lit and f"lit {lit[0][2]} at {at(max(lit[0][0], e.low))} s"
    elif wrong := [s for s in lit if s[2] != e.args["colour"]]:
        ok, why = False, f"{wrong[0][2]} at {at(max(wrong[0][0], e.low))} s"
    else:
        every = float(e.args["every"]) if e.args.get("every") else None
        ok, why = {"solid": check_solid, "blink": check_blink, "flashes": check_flashes}[e.kind](tl, e, lit, every)
    return ok, ok or f"{why}; {seen(tl, e.args['lane'], e.low, e.high)}"


def seen(tl, lane, low, high):
    """What a lane showed in the window, in words."""
    segs = [s for s in segments(tl, lane) if s[1] > low and s[0] < high]

    def stretch(s):
        return f"{s[2]} from {at(max(s[0], low))}" + (f" to {at(s[1])} s" if s[1] < high else " s")

    bursts = []  # flashes of one colour, a fast dark phase apart
    for s in (s for s in segs if s[2] != "dark" and s[1] - s[0] <= FLASH_LONGEST):
        if bursts and s[2] == bursts[-1][-1][2] and s[0] - bursts[-1][-1][1] <= FAST + PHASE_TOLERANCE[1]:
            bursts[-1].append(s)
        else:
            bursts.append([s])
    items = sorted([(s[0], stretch(s), False) for s in segs if s[2] != "dark" and s[1] - s[0] > FLASH_LONGEST] +
                   [(b[0][0], f"{len(b)} {b[0][2]} flash{'es' if len(b) > 1 else ''}", True) for b in bursts])
    pieces = []  # (start, words, [burst starts]); bursts alike in a row share one piece
    for start, what, burst in items:
        if burst and pieces and pieces[-1][1] == what:
            pieces[-1][2].append(start)
        else:
            pieces.append((start, what, [start] if burst else []))
    edges = {id(s): s for s in segs[:1] + segs[-1:] if s[2] == "dark" and s[1] - s[0] > BURST_GAP}
    pieces += [(s[0], stretch(s), []) for s in edges.values()]
    words = [what if not times else f"{what} at {at(times[0])} s" if len(times) == 1 else
             f"bursts of {what} at {', '.join(at(t) for t in times)} s" for _, what, times in sorted(pieces)[:6]]
    text = f"{LANE_NAME[lane]} showed {'; '.join(words) or 'nothing'}" + ("; …" if len(pieces) > 6 else "")
    return text + (f"; {ended(tl)}" if tl.ended is not None and tl.ended < high else "")


def at(t):
    """A moment in words; a write stamped a clock tick before the start is at 0."""
    return f"{max(t, 0.0):.2f}"


def ended(tl):
    how = "after the stop signal" if tl.stop else f"with exit status {tl.status}"
    return f"the daemon ended at {at(tl.ended)} s {how}"


def group_bursts(lit, every=None):
    """Lit segments in bursts: a dark gap longer than BURST_GAP ends one, and
    with `every`, so does the next period."""
    bursts = []
    for seg in lit:
        if bursts and seg[0] - bursts[-1][-1][1] <= BURST_GAP and (
                every is None or seg[0] < bursts[-1][0][0] + every + PERIOD_TOLERANCE[0]):
            bursts[-1].append(seg)
        else:
            bursts.append([seg])
    return bursts


def check_solid(tl, e, lit, every):
    low, high = e.low, min(e.high, tl.end)
    dips = [(max(s[0], low), min(s[1], high) - max(s[0], low)) for s in segments(tl, e.args["lane"], transient=0)
            if s[2] == "dark" and s[0] > 0 and s[1] >= low and s[0] <= high]  # even a moment; none before any write
    if e.args["dipping"] and not dips:
        return False, "never dark for a moment"
    if long := [d for d in dips if not e.args["dipping"] or d[1] > 0.2]:
        return False, f"dark for {long[0][1]:.2f} s at {at(long[0][0])} s"
    last = "led" if e.args["lane"] == "led" else "blue"  # the write that completes the colour
    # A write's time comes from its file's time stamp, on the kernel's coarse
    # clock: up to a tick early, so the first write can show just before zero.
    stamps = [t for t, led, _ in tl.writes if led == last and low - 0.01 <= t <= high]
    gaps = [(a, b - a) for a, b in zip([low] + stamps, stamps + [high])]
    if every is not None and len(stamps) < 2:
        return False, f"written {len(stamps)} time(s), not every {every:g} s"
    bad = [g for i, g in enumerate(gaps) if every is not None and (
        g[1] > every + PERIOD_TOLERANCE[1] or 0 < i < len(gaps) - 1 and not near(g[1], every, PERIOD_TOLERANCE))]
    return not bad, bad and f"rewritten {bad[0][1]:.2f} s after {at(bad[0][0])} s, not every {every:g} s"


def check_blink(tl, e, lit, every):
    inside = [s for s in lit if s[0] >= e.low and s[1] <= e.high]
    phases = [(s[0], s[1] - s[0], "lit") for s in inside] + [(a[1], b[0] - a[1], "dark")
                                                            for a, b in zip(inside, inside[1:])]
    if len(inside) < 2:
        return False, f"no slow blinking in {e.low:g}..{e.high:g} s"
    bad = sorted(p for p in phases if not near(p[1], SLOW))
    return not bad, bad and f"a {bad[0][2]} phase of {bad[0][1]:.2f} s at {at(bad[0][0])} s, not {SLOW:g}"


def check_flashes(tl, e, lit, every):
    # Every lit segment of the run in bursts; those inside the window count.
    bursts = [b for b in group_bursts([s for s in segments(tl, e.args["lane"]) if s[2] != "dark"], every)
              if b[0][0] >= e.low - 0.01 and b[-1][1] <= e.high]
    count = int(e.args["count"])
    if not bursts:
        return False, f"no complete burst of {count} {e.args['colour']} flashes in {e.low:g}..{e.high:g} s"
    if wrong := [b for b in bursts if len(b) != count]:
        return False, f"a burst of {len(wrong[0])} at {at(wrong[0][0][0])} s, not {count}"
    phases = sorted([(s[0], s[1] - s[0], "lit") for b in bursts for s in b] +
                    [(x[1], y[0] - x[1], "dark") for b in bursts for x, y in zip(b, b[1:])])
    if bad := [p for p in phases if not near(p[1], FAST)]:
        return False, f"a {bad[0][2]} phase of {bad[0][1]:.2f} s at {at(bad[0][0])} s, not {FAST:g}"
    periods = [(a[0][0], b[0][0] - a[0][0]) for a, b in zip(bursts, bursts[1:])]
    if every is not None and not periods:
        return False, f"one burst in {e.low:g}..{e.high:g} s: no period to measure"
    bad = [p for p in periods if every is not None and not near(p[1], every, PERIOD_TOLERANCE)]
    return not bad, bad and f"bursts {bad[0][1]:.2f} s apart at {at(bad[0][0])} s, not every {every:g} s"


def check_output(tl, e):
    level, text = e.args["level"], quoted_text(e.args["text"])

    def matches(message):
        return text is None or lines.wildcard(text).fullmatch(message)

    if e.args["first"]:
        first = tl.logs[0] if tl.logs else (None, None, "")
        return bool(level in (None, first[1]) and matches(first[2])), f"first line {first[1:]}"
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
    if tl.ended is not None and e.high != float("inf") and (
            e.low >= tl.ended or e.kind in LANE_KINDS and e.high > tl.ended):
        return False, f"the window {e.low:g}..{e.high:g} s reaches past the daemon's end: {ended(tl)}"
    if e.kind in LANE_KINDS:
        return check_lane(tl, e)
    if e.kind == "untouched":
        return not tl.writes and not tl.follower_started, f"{len(tl.writes)} writes, follower {tl.follower_started}"
    if e.kind == "exit":
        if tl.ended_by_player:
            return False, f"the daemon did not end by itself; the player stopped it at {tl.ended:.2f} s"
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
