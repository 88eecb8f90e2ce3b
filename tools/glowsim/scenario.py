"""Scenario files: a timed script of world changes and what the LEDs and the
log must show, played on the real daemon. One line each, `#` comments:

    world CHANGE | world no journalctl    the world before the start
    start [ARGS] [| ARGS ...]             the daemon starts: time 0
    at T CHANGE                           a world change T seconds after the start
    at T stop TERM|INT [group|all] [| ...]   stop signal to the daemon, its process group, or also its follower
    expect [A..B] WHAT                    checked over that window (the whole run without one)

CHANGE is the live view's vocabulary (world.py). WHAT is one of
    led|rgb solid on|COLOUR [every S] [dipping]   never dark, and an LED not yet written is dark
                                          (dipping: dark for at most 0.2 s at times); rewritten every S s
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

import itertools
import re
import shlex
from dataclasses import dataclass, field

from . import lines, replay, world
from .recorder import COLOURS

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
