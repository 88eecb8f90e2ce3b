"""Whether one played run met an expectation of its scenario file, and when
not, what the LEDs and the log showed instead, in words."""

from . import lines
from .recorder import COLOURS, LEDS, RGB
from .scenario import LANE_KINDS, quoted_text

TRANSIENT = 0.05  # a colour's three writes land within this; shorter segments are not shown
FAST, SLOW = 0.2, 0.5
# A late wake-up only lengthens a phase or a period (sanitizer builds and a
# loaded machine), so more lateness than earliness is accepted.
PHASE_TOLERANCE, PERIOD_TOLERANCE = (-0.05, 0.09), (-0.1, 0.2)
BURST_GAP = 0.5  # dark longer than this ends a burst; with `every`, so does the next period


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
    # A solid check counts dips too short to draw: so must its account of what was seen.
    transient = 0 if e.kind == "solid" else TRANSIENT
    return ok, ok or f"{why}; {seen(tl, e.args['lane'], e.low, e.high, transient)}"


def seen(tl, lane, low, high, transient=TRANSIENT):
    """What a lane showed in the window, in words."""
    segs = [s for s in segments(tl, lane, transient) if s[1] > low and s[0] < high]

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
    # Even a moment of dark counts, and so does the stretch before the first
    # write: an LED nobody has written yet is dark.
    dips = [(max(s[0], low), min(s[1], high) - max(s[0], low)) for s in segments(tl, e.args["lane"], transient=0)
            if s[2] == "dark" and s[1] > low and s[0] < high]
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
