"""Draws a recorded run (play --record) as an SVG timing diagram: one lane
per LED, time in seconds from left to right, the world changes marked above
the lanes, the way hardware documentation shows signals, and the error lines
of the log below them. matplotlib draws it.

A picture changes only when the run did: each carries the timeline it shows,
and a new run that differs from it by no more than the scenarios can tell
apart leaves the file as it is."""

import json
import xml.etree.ElementTree as ElementTree

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402

# Screen colours of what an LED shows; the lane's own grey is "dark".
PAINT = {
    "dark": "#3a3a3a",
    "on": "#ffc107",
    "red": "#e53935",
    "green": "#43a047",
    "blue": "#1e63e9",
    "yellow": "#fdd835",
    "cyan": "#26c6da",
    "magenta": "#d81b60",
    "white": "#ffffff",
}
LANES = (("led", "LED1"), ("rgb", "RGB LED"))
# What the scenarios can tell apart: a phase or period may come 0.2 s late;
# over a run late wake-ups add up, and a stop's end moves with where it lands.
TOLERANCE, DRIFT = 0.2, 0.5
SHORTEST = 0.1  # a shorter segment (a dip of a solid colour, at random) is not compared
DESCRIPTION = "{http://purl.org/dc/elements/1.1/}description"


def rounded(timeline):
    """What is drawn: times to the 10 ms that a picture can show at all."""
    return {"name": timeline["name"], "end": round(timeline["end"], 2),
            "world": [[round(t, 2), change] for t, change in timeline["world"]],
            "lanes": {lane: [[round(a, 2), round(b, 2), colour] for a, b, colour in timeline["lanes"][lane]]
                      for lane, _ in LANES},
            "errors": [round(t, 2) for t in timeline.get("errors", [])]}


def shown(svg):
    """The timeline an earlier picture shows, or None."""
    try:
        found = ElementTree.parse(svg).getroot().find(f".//{DESCRIPTION}")
        return json.loads(found.text) if found is not None else None
    except (OSError, ElementTree.ParseError, ValueError):
        return None


def visible(segments):
    kept = []
    for start, stop, colour in segments:
        if stop - start < SHORTEST:
            continue
        if kept and kept[-1][2] == colour:
            kept[-1] = [kept[-1][0], stop, colour]
        else:
            kept.append([start, stop, colour])
    return kept


def same_run(old, new):
    """The same world changes, LED segments and error lines, every segment as
    long within TOLERANCE and every moment within DRIFT."""
    if old is None or [c for _, c in old["world"]] != [c for _, c in new["world"]] or \
            len(old["errors"]) != len(new["errors"]) or abs(old["end"] - new["end"]) > DRIFT:
        return False
    moments = list(zip([t for t, _ in old["world"]], [t for t, _ in new["world"]])) + list(
        zip(old["errors"], new["errors"]))
    for lane, _ in LANES:
        was, now = visible(old["lanes"][lane]), visible(new["lanes"][lane])
        if [s[2] for s in was] != [s[2] for s in now]:
            return False
        if any(abs((x[1] - x[0]) - (y[1] - y[0])) > TOLERANCE for x, y in zip(was[:-1], now[:-1])):
            return False  # the last one ends with the run
        moments += [(x[0], y[0]) for x, y in zip(was, now)]
    return all(abs(a - b) <= DRIFT for a, b in moments)


def labels(world):
    """World changes that happen together share one mark."""
    marks = []
    for t, change in world:
        if marks and t - marks[-1][0] < 0.05:
            marks[-1][1].append(change)
        else:
            marks.append((t, [change]))
    return [(t, "; ".join(changes)) for t, changes in marks]


def draw(timeline, out):
    """Draws the timeline into out; returns False when the picture there
    already shows the same run, and leaves it."""
    timeline = rounded(timeline)
    if same_run(shown(out), timeline):
        return False
    plt.rcParams.update({"svg.hashsalt": "glowsim", "svg.fonttype": "none", "font.size": 9})
    end = timeline["end"]
    marks = labels(timeline["world"])
    fig, ax = plt.subplots(figsize=(max(6.0, 0.55 * end + 1.5), 1.5 + 0.22 * len(marks)))
    for row, (lane, _) in enumerate(reversed(LANES)):
        for start, stop, colour in timeline["lanes"][lane]:
            ax.broken_barh([(start, max(stop - start, 0.01))], (row + 0.15, 0.7), facecolors=PAINT[colour],
                           edgecolors="#000000" if colour == "white" else "none", linewidth=0.4)
    # Error lines of the log, as ticks below the lanes.
    ax.vlines(timeline.get("errors", []), -0.4, -0.1, color=PAINT["red"], linewidth=0.8)
    for level, (t, text) in enumerate(marks):
        ax.axvline(t, color="#555555", linewidth=0.7, linestyle=(0, (3, 2)))
        ax.annotate(text, (t, 2.0), xytext=(3, 4 + 12 * (len(marks) - 1 - level)), textcoords="offset points",
                    fontsize=8, color="#222222", annotation_clip=False)
    ax.set_xlim(0, end)
    ax.set_ylim(-0.5, 2)
    ax.set_yticks([-0.25, 0.5, 1.5], ["errors logged"] + [name for _, name in reversed(LANES)])
    ax.set_xticks(range(int(end) + 1))
    ax.set_xlabel("seconds after the start")
    ax.tick_params(axis="y", length=0)
    ax.grid(axis="x", color="#dddddd", linewidth=0.5)
    ax.set_axisbelow(True)
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    fig.tight_layout()
    fig.savefig(out, format="svg", metadata={"Date": None, "Description": json.dumps(timeline, separators=(",", ":"))})
    plt.close(fig)
    return True


def main(timeline_path, out):
    with open(timeline_path) as file:
        if not draw(json.load(file), out):
            print(f"draw: {out}: the same run as drawn before; left as it is")
    return 0
