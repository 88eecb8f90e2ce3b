"""The live simulator: both LEDs, the world and the daemon's log in the
terminal, redrawn on every brightness write, while keys change the world.

Drawn with rich (python3-rich); keys are read from stdin in cbreak mode.
Each key is one world line (world.py), the words scenario files use too.
"""

import contextlib
import os
import queue
import select
import signal
import subprocess
import sys
import termios
import threading
import time
import tty

try:
    from rich.console import Console
    from rich.layout import Layout
    from rich.live import Live
    from rich.panel import Panel
    from rich.table import Table
    from rich.text import Text
except ImportError:
    Console = None

from . import world
from .recorder import LEDS, RGB, read_value, rgb_name
from .sandbox import LOG_LINE, SERVICES, Sandbox

MIN_COLUMNS, MIN_LINES = 100, 30
# The channel writes of one colour change follow within a few ms: they are
# drawn as one change, never the mixed colour between them.
SETTLE, SETTLE_MAX = 0.01, 0.05
REPEATS_LOOKBACK = 8  # lines repeating with up to this many others between them fold
# Toggles (service, layout) pick their direction when applied.
KEYS = {
    "1": "net reachable", "2": "net refused", "3": "net drop", "4": "net noroute", "5": "net nosocket",
    "n": "net nofd",
    "t": "service tiviad", "p": "service pelmad", "m": "service mender-client", "l": "layout",
    "6": "auth OFF", "7": "auth Registration_possible", "8": "auth LongPress_started",
    "9": "auth LongPress_failed", "0": "auth LongPress_success", "u": "auth Not_a_state", "x": "auth none",
    "d": "journal download", "i": "journal install", "w": "journal idle",
    # What a gateway shows: the real client goes on within a second of a failure.
    "f": "journal replay tests/journals/update-failure.journal from ArtifactFailure",
    "e": "journal end", "r": "restart",
}
LEGEND = (("net", "12345n"), ("service", "tpm"), ("layout", "l"), ("auth", "678u"), ("auth", "90x"),
          ("journal", "difwe"), ("daemon", "rq"))
LAYOUT_TEXT = {"v2": "unified (system.slice)", "v1": "legacy (systemd/system.slice)"}
NET_TEXT = {"reachable": "resolver answers", "refused": "connection refused", "drop": "silent drop",
            "noroute": "no route (lo down)", "nosocket": "sockets refused (BPF)", "nofd": "no descriptors left"}
LAMP = {"dark": "#3a3a3a", "red": "#ff2020", "green": "#20e020", "blue": "#2060ff", "yellow": "#ffe020",
        "cyan": "#20e0e0", "magenta": "#e020e0", "white": "#ffffff", "on": "#ffb000"}
LAMP_SHAPE = " ▄██████▄ \n██████████\n ▀██████▀ "


def check_terminal():
    """Says in one line why the live view cannot run here, before any namespace is made."""
    if Console is None:
        sys.exit("glowsim: the live view needs python3-rich (scripts/install-deps.sh installs it)")
    if not (sys.stdin.isatty() and sys.stdout.isatty()):
        sys.exit("glowsim: the live view needs a terminal on standard input and output")
    size = os.get_terminal_size(sys.stdout.fileno())
    if not Console().is_dumb_terminal and (size.columns < MIN_COLUMNS or size.lines < MIN_LINES):
        sys.exit(f"glowsim: terminal too small ({size.columns}x{size.lines}); the live view needs at least "
                 f"{MIN_COLUMNS}x{MIN_LINES}: enlarge it, or run with TERM=dumb for one line per change")


def change_for(sandbox, key):
    line = KEYS[key]
    if line.startswith("service "):
        return f"{line} {'down' if line.split()[1] in sandbox.services() else 'up'}"
    if line == "layout":
        return f"layout {'v1' if sandbox.layout == 'v2' else 'v2'}"
    return line


def legend_entry(key):
    if key == "q":
        return "quit (SIGTERM; Ctrl-C too)"
    if key == "r":
        return "restart (auth file looked for at start-up)"
    words = KEYS[key].split()
    if words[0] == "service":
        return f"{words[1]} up|down"
    if words[0] == "layout":
        return "v2|v1"
    if words[:2] == ["journal", "replay"]:
        return "failure and what follows"
    return "none (deletes it)" if words == ["auth", "none"] else " ".join(words[1:])


def led_values():
    return {led: read_value(led) for led in LEDS}


def led_summary(values):
    return " ".join(f"{'LED1' if led == 'led' else led}={(value or '?').strip()}" for led, value in values.items())


class View:
    """What the screen shows, and the worker that applies world changes."""

    def __init__(self, sandbox, console):
        self.sandbox = sandbox
        self.console = console
        self.colour = console.color_system is not None and not console.no_color
        self.started = sandbox.started_at
        # (time, line, detail, applied): world changes among the log lines;
        # applied is None for a note that is no change.
        self.events = []
        self.busy = None  # the world line being applied
        self.status = ""
        self.journal = "none sent"
        self.jobs = queue.Queue()
        self.applying = threading.Lock()
        self.done = threading.Event()
        self.poked = False
        self.shown, self.hinted, self.printed = None, False, {}

    def poke(self):
        changed = self.sandbox.recorder.changed
        with changed:
            self.poked = True
            changed.notify_all()

    def say(self, status):
        self.status = status
        self.poke()

    def work(self):
        while (key := self.jobs.get()) is not None:
            with self.applying:
                line = change_for(self.sandbox, key)
                self.busy = line
                self.poke()
                try:
                    # The stand-in drops journal lines once its output has ended.
                    ended = line.startswith("journal ") and self.sandbox.journal_fd is None
                    result = world.apply(self.sandbox, line)
                    detail = f" (old daemon: exit status {result[0]} after {result[1]:.1f} s)" if result else ""
                    detail += " dropped: the follower's output has ended; restart (r)" if ended else ""
                    if line.startswith("journal ") and not ended:
                        self.journal = line
                    self.events.append((time.monotonic(), line, detail, not ended))
                    if line == "journal end" and not ended and self.sandbox.wait_for(
                            lambda: not self.sandbox.follower_alive(), 5):
                        self.events.append((time.monotonic(), "the journal follower ended",
                                            ": journal keys have no effect until a restart (r)", None))
                except Exception as error:  # shown on screen; a bad change must not end the view
                    self.events.append((time.monotonic(), line, f" refused: {error}", False))
                self.busy = None
            self.poke()

    def crashed(self):
        """True when the daemon ended on its own, not inside a restart."""
        if not self.applying.acquire(blocking=False):
            return False
        try:
            return self.busy is None and not self.sandbox.running()
        finally:
            self.applying.release()

    def paint(self, draw):
        recorder = self.sandbox.recorder
        seen = -1
        while not self.done.is_set():
            with recorder.changed:
                # Woken by every brightness write, so a 200 ms flash is drawn.
                recorder.changed.wait_for(lambda: len(recorder.writes) != seen or self.poked, timeout=0.25)
                settled = time.monotonic() + SETTLE_MAX
                while time.monotonic() < settled:
                    count = len(recorder.writes)
                    if not recorder.changed.wait_for(lambda: len(recorder.writes) != count, timeout=SETTLE):
                        break
                seen, self.poked = len(recorder.writes), False
            draw()

    def print_news(self):
        """The view for a terminal that cannot move the cursor: a line for
        each change of the LEDs, each log line and each world change."""
        values = led_values()
        leds = f"LED1: {'on' if values['led'] == '1' else 'dark'}  RGB: {rgb_name(values[c] for c in RGB)}"
        writes = self.sandbox.recorder.writes
        # A write is stamped by the kernel's coarse clock: up to a tick before the start.
        now = max(0.0, (writes[-1][0] if writes else time.monotonic()) - self.started)
        if leds != self.shown:
            print(f"{now:8.2f}  {leds}", flush=True)
            self.shown = leds
        if self.sandbox.restart_needed() != self.hinted:
            self.hinted = not self.hinted
            if self.hinted:
                print(f"{now:8.2f}  restart (r) to see the new auth file", flush=True)
        box = self.sandbox
        for name, seq in (("out", box.stdout), ("stderr", box.stderr), ("world", self.events)):
            for item in seq[self.printed.get(name, 0):]:
                stamp, text = item[0], "".join(item[1:3])
                match = LOG_LINE.match(text)
                level, text = (match.group(1), match.group(2)) if match else (name, text)
                print(f"{max(0.0, stamp - self.started):8.2f}  {level:<7} {text}", flush=True)
            self.printed[name] = len(seq)

    # --- drawing ------------------------------------------------------------
    def render(self):
        width, height = self.console.size
        if width < MIN_COLUMNS or height < MIN_LINES:
            return Text(f"terminal too small ({width}x{height}); enlarge it to {MIN_COLUMNS}x{MIN_LINES}, "
                        "or quit (q) and run with TERM=dumb for one line per change")
        layout = Layout()
        layout.split_column(Layout(self.header(), size=1), Layout(name="top", size=10),
                            Layout(self.legend(), size=9), Layout(self.log(height - 22)))
        layout["top"].split_row(Layout(self.lamps(), size=30), Layout(self.world()))
        return layout

    def header(self):
        box = self.sandbox
        state = f"pid {box.process.pid}, up {time.monotonic() - box.started_at:.0f} s" if box.running() else "not running"
        text = Text.assemble(("glowsim", "bold"), f" · glowkeeper d · {state}", no_wrap=True, overflow="ellipsis")
        if self.status or self.busy:
            text.append(" · " + (self.status or ("restarting…" if self.busy == "restart" else f"applying {self.busy}…")),
                        "bold yellow")
        elif changes := [event for event in self.events if event[3] is not None]:
            stamp, line, detail, applied = changes[-1]
            if applied:
                text.append(f" · last change at {stamp - self.started:.1f} s: {line}", "bold cyan")
            else:
                text.append(f" · at {stamp - self.started:.1f} s: {line}{detail}", "bold red")
        return text

    def lamps(self):
        values = led_values()
        rgb = rgb_name(values[c] for c in RGB)
        single = "on" if values["led"] == "1" else "dark"
        grid = Table.grid(padding=(0, 2))
        # Fixed widths: the RGB lamp must not move when LED1's word changes length.
        grid.add_column(width=10)
        grid.add_column(min_width=12)
        if self.colour:
            grid.add_row(Text(LAMP_SHAPE, LAMP[single]), Text(LAMP_SHAPE, LAMP[rgb]))
        grid.add_row(Text(f"LED1: {single}", "bold"), Text(f"RGB: {rgb}", "bold"))
        grid.add_row(f"LED1={(values['led'] or '?').strip()}",
                     " ".join(f"{c[0]}={(values[c] or '?').strip()}" for c in RGB))
        grid.add_row("", f"{len(self.sandbox.recorder.writes)} writes")
        return Panel(grid, title=f"LEDs · {self.console.color_system if self.colour else 'no colour'}")

    def world(self):
        box = self.sandbox
        word = box.auth_word()
        grid = Table.grid(padding=(0, 2))
        for _ in range(3):
            grid.add_column(no_wrap=True, overflow="ellipsis")
        grid.add_row("net", f"net {box.net}", NET_TEXT.get(box.net, ""))
        grid.add_row("layout", f"layout {box.layout}", LAYOUT_TEXT[box.layout])
        up = box.services()
        for name in SERVICES:
            grid.add_row("service" if name == SERVICES[0] else "",
                         Text(f"service {name} {'up' if name in up else 'down'}", "green" if name in up else "bold red"),
                         f"{name}.service/" if name in up else "no unit folder")
        seen = Text(f"{'present' if box.auth_at_start else 'absent'} at start-up")
        if box.restart_needed():
            seen = Text("restart (r) to see it", "bold yellow")
        grid.add_row("auth file", f"auth {word if word is not None else 'none'}", seen)
        grid.add_row("journal", self.journal, f"follower {'running' if box.follower_alive() else 'ended'}")
        return Panel(grid, title="world")

    def legend(self):
        grid = Table.grid(padding=(0, 1))
        for row, (label, keys) in enumerate(LEGEND):
            text = Text()
            for key in keys:
                text.append(f" {key} ", "reverse bold")
                text.append(f" {legend_entry(key)}  ")
            grid.add_row(Text(label if row == 0 or LEGEND[row - 1][0] != label else "", "bold"), text)
        return Panel(grid, title="keys (world lines)")

    def log(self, lines):
        box = self.sandbox
        with box.output_lock:
            entries = [(t, "", line) for t, line in box.stdout] + [(t, "stderr", line) for t, line in box.stderr]
        entries += [(t, "world", line + detail) for t, line, detail, _ in self.events]
        rows = []  # [first time, level, message, times seen, last time]
        for stamp, source, line in sorted(entries, key=lambda e: e[0]):
            match = LOG_LINE.match(line)
            level, message = (match.group(1), match.group(2)) if match else (source or "out", line)
            # The lines of every pass fold, until the world changes.
            same = None
            for row in reversed(rows[-REPEATS_LOOKBACK:]):
                if row[1] == "world":
                    break
                if row[1:3] == [level, message]:
                    same = row
                    break
            if same is not None:
                same[3], same[4] = same[3] + 1, stamp
            else:
                rows.append([stamp, level, message, 1, stamp])
        text = Text(no_wrap=True, overflow="ellipsis")
        # A folded line keeps its first time, so times read in order.
        for stamp, level, message, seen, last in rows[-max(lines, 1):]:
            style = {"world": "bold cyan", "error": "red", "warning": "yellow", "stderr": "magenta"}.get(level, "")
            text.append(f"{max(0.0, stamp - self.started):8.2f}  {level:<7} {message}"
                        + (f"  ×{seen}, last at {last - self.started:.2f}" if seen > 1 else "") + "\n", style)
        return Panel(text, title="daemon log and world changes")


def read_keys(fd, view, stop):
    """Queues world changes until quit, Ctrl-C, a stop signal or a crash; returns why it ended."""
    while not stop:
        if view.crashed():
            return "crash"
        ready, _, _ = select.select([fd], [], [], 0.1)
        if not ready:
            continue
        chunk = os.read(fd, 64).decode(errors="replace")
        if chunk.startswith("\x1b"):  # arrows and other sequences: not keys of ours
            continue
        for key in chunk:
            if key in ("q", "Q", "\x03"):
                return "quit" if key != "\x03" else "Ctrl-C"
            if key in KEYS:
                view.jobs.put(key)
    return stop[0]


def main(args):
    console = Console()
    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    stop = []

    def on_signal(number, _frame):
        stop.append("Ctrl-C" if number == signal.SIGINT else signal.Signals(number).name)

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    signal.signal(signal.SIGTSTP, signal.SIG_IGN)  # a stopped view would hold the terminal in cbreak mode
    try:
        with Sandbox(args.binary, layout=args.layout, net=args.net, auth=args.auth) as sandbox:
            sandbox.start("d")
            view = View(sandbox, console)
            tty.setcbreak(fd)
            dumb = console.is_dumb_terminal
            if dumb:
                print("keys: " + ", ".join(f"{key} {label} {legend_entry(key)}" for label, keys in LEGEND for key in keys))
            with contextlib.nullcontext() if dumb else Live(console=console, screen=True, auto_refresh=False) as live:
                draw = view.print_news if dumb else lambda: live.update(view.render(), refresh=True)
                threads = [threading.Thread(target=view.paint, args=(draw,), daemon=True),
                           threading.Thread(target=view.work, daemon=True)]
                for thread in threads:
                    thread.start()
                why = read_keys(fd, view, stop)
                while not view.jobs.empty():
                    view.jobs.get_nowait()
                view.jobs.put(None)
                if why != "crash":
                    view.say(f"{why}: waiting for the change in progress, then SIGTERM…")
                    threads[1].join()
                    view.say(f"{why}: SIGTERM sent, waiting for the daemon…")
                    if sandbox.running():
                        try:
                            status, took = sandbox.stop()
                        except subprocess.TimeoutExpired:
                            status, took = "none (still running after 30 s, killed)", 30.0
                    else:
                        why, status, took = "crash", sandbox.process.returncode, None
                else:
                    status, took = sandbox.process.returncode, None
                view.done.set()
                view.poke()
                threads[0].join()
            final = led_summary(led_values())
    finally:
        with contextlib.suppress(termios.error):  # a terminal that hung up has nothing to restore
            termios.tcsetattr(fd, termios.TCSADRAIN, saved)
    if why == "crash":
        killed = f" (killed by {signal.Signals(-status).name})" if status < 0 else ""
        print(f"glowsim: the daemon ended on its own: exit status {status}{killed}; final LEDs {final}")
        return 1
    print(f"glowsim: {why}: exit status {status}, {took:.2f} s after SIGTERM; final LEDs {final}")
    return 0 if status == 0 else 1
