"""Draws a recorded run (play --record) as an SVG timing diagram: one lane
per LED, time in seconds from left to right, the world changes marked above
the lanes, the way hardware documentation shows signals, and the error lines
of the log below them. matplotlib draws
it; the output is made reproducible so that regenerated pictures only
change when the run did."""

import json

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
    fig.savefig(out, format="svg", metadata={"Date": None})
    plt.close(fig)


def main(timeline_path, out):
    with open(timeline_path) as file:
        draw(json.load(file), out)
    return 0
