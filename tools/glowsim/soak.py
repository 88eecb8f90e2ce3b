"""Soak: the daemon in a churning world for a given time, its resources sampled.

Several times a second one change of the world vocabulary is picked at random
(a restart, and the end of the journal followed by a restart, only rarely:
each takes seconds). About once a second the daemon's private dirty memory,
resident set, open descriptors, threads and child processes are sampled, and
any process left following the journal is counted.

Steady samples are those of a daemon following the journal, past its first
seconds. Growth, for the run as a whole and for each long daemon life,
compares the first third of them with the last third: private dirty memory
may not rise above the first third's maximum by more than 10 % or 512 kB;
descriptors and threads other than blink threads may neither raise their
median nor exceed the first third's maximum by more than the world's own
transients (the probe's socket and one brightness file being written). A blink
thread lives as long as its LED's pattern, so their number follows the world:
there may never be more than one per LED. There is never more than one child
or journal follower, and the daemon never falls silent for 15 s. Exit status
1 on growth, on a daemon that hangs or ends by itself, or on a stop that is
not clean; 0 otherwise.
"""

import os
import random
import signal
import statistics
import time

from . import world
from .recorder import LEDS
from .sandbox import JOURNAL_FIFO, SERVICES, Sandbox

WARM_UP = 5.0
SILENCE = 15.0
MEMORY_MARGIN_KB, MEMORY_MARGIN_SHARE = 512, 0.10
TRANSIENTS = {"fds": 2, "threads": 0}
BLINK_THREADS = 2
RARE = {"restart": 1 / 1000, "journal end": 1 / 1000}
METRICS = ("dirty_kb", "rss_kb", "fds", "threads", "blink", "children", "followers")

CHANGES = ([f"net {mode}" for mode in world.NET_MODES]
           + [f"service {name} {state}" for name in SERVICES for state in ("up", "down")]
           + ["layout v1", "layout v2"]
           + [f"auth {word}" for word in (*world.AUTH_WORDS, "Unexpected_word", "none")]
           + [f"journal {name}" for name in world.TRANSITIONS])


def pick(rng):
    for line, chance in RARE.items():
        if rng.random() < chance:
            return line
    return rng.choice(CHANGES)


def sample(pid):
    """One sample of the process's resources, or None once it has gone."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as file:
            dirty = sum(int(line.split()[1]) for line in file if line.startswith("Private_Dirty:"))
        with open(f"/proc/{pid}/status") as file:
            status = dict(line.split(":", 1) for line in file)
        children, names = 0, []
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as file:
                children += len(file.read().split())
            with open(f"/proc/{pid}/task/{task}/comm") as file:
                names.append(file.read().strip())
        blink = names.count("blink")
        return {"dirty_kb": dirty, "rss_kb": int(status["VmRSS"].split()[0]),
                "fds": len(os.listdir(f"/proc/{pid}/fd")), "threads": len(names) - blink, "blink": blink,
                "children": children, "followers": followers()}
    except (OSError, KeyError, ValueError):
        return None


def followers():
    """Processes of this mount namespace reading the stand-in journal,
    whoever their parent is (other sandboxes have followers of their own)."""
    count, ours = 0, os.readlink("/proc/self/ns/mnt")
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                count += JOURNAL_FIFO.encode() in file.read() and os.readlink(f"/proc/{pid}/ns/mnt") == ours
        except OSError:
            continue
    return count


def growth(samples):
    """Reasons the last third of the samples shows growth over the first."""
    third = len(samples) // 3
    if third < 3:
        return []
    first, last = samples[:third], samples[-third:]
    reasons = []
    top = max(s["dirty_kb"] for s in first)
    if max(s["dirty_kb"] for s in last) > top + max(MEMORY_MARGIN_KB, top * MEMORY_MARGIN_SHARE):
        reasons.append(f"private dirty memory grew from {top} kB to {max(s['dirty_kb'] for s in last)} kB")
    for metric, allowance in TRANSIENTS.items():
        before, after = [s[metric] for s in first], [s[metric] for s in last]
        if statistics.median(after) > statistics.median(before) or max(after) > max(before) + allowance:
            reasons.append(f"{metric} grew: median {statistics.median(before)} -> {statistics.median(after)}, "
                           f"max {max(before)} -> {max(after)}")
    return reasons


def table(samples):
    third = max(1, len(samples) // 3)
    rows = [f"{'':<10}{'first third':>22}{'last third':>22}", f"{'':<10}{'median / max':>22}{'median / max':>22}"]
    for metric in METRICS:
        cells = []
        for part in (samples[:third], samples[-third:]):
            values = [s[metric] for s in part]
            cells.append(f"{statistics.median(values):g} / {max(values)}" if values else "-")
        rows.append(f"{metric:<10}{cells[0]:>22}{cells[1]:>22}")
    return "\n".join(rows)


def main(args):
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)
    print(f"soak: {args.seconds:g} s, {args.rate:g} changes a second, seed {seed}", flush=True)
    samples, lives, problems, changes, minute = [], {}, [], 0, 0
    with Sandbox(args.binary, auth="OFF") as box:
        box.start("d")
        began = time.monotonic()
        next_sample = began + 1.0
        while time.monotonic() - began < args.seconds:
            line = pick(rng)
            if line == "net nosocket" and box.gate.unavailable:  # no BPF here: the other states still churn
                continue
            world.apply(box, line)
            if line == "journal end":
                world.apply(box, "restart")
            changes += 1
            if not box.running():
                problems.append(f"the daemon ended by itself with status {box.process.returncode}")
                break
            pid = box.process.pid
            if time.monotonic() >= next_sample:
                next_sample += 1.0
                taken = sample(pid)
                if taken and max(taken["children"], taken["followers"]) > 1:
                    problems.append(f"{taken['children']} children, {taken['followers']} journal followers")
                if taken and taken["blink"] > BLINK_THREADS:
                    problems.append(f"{taken['blink']} blink threads for {BLINK_THREADS} LEDs")
                # A life begun with no descriptor left has no follower, hence
                # a pipe and a thread fewer: not comparable with the others.
                if taken and taken["children"] == 1 and time.monotonic() - box.started_at > WARM_UP:
                    samples.append(taken)
                    lives.setdefault(pid, []).append(taken)
                    if int(time.monotonic() - began) // 60 > minute:
                        minute = int(time.monotonic() - began) // 60
                        print(f"minute {minute}: " + ", ".join(f"{k} {v}" for k, v in taken.items()), flush=True)
                # Every connectivity pass (at most about 9 s) logs a line.
                now = time.monotonic()
                if now - box.started_at > SILENCE and not box.logs(since=now - SILENCE):
                    problems.append(f"daemon {pid} logged nothing for {SILENCE:g} s")
            time.sleep(rng.expovariate(args.rate))
        if box.running():
            world.apply(box, "net reachable")  # with no descriptor left, no LED could be turned dark
            status, took = box.stop(signal.SIGTERM)
            dark = all(box.value(led) == "0" for led in LEDS)
            if status != 0 or not dark:
                problems.append(f"unclean stop: status {status} after {took:.1f} s, LEDs dark: {dark}")
    problems += growth(samples)
    for pid, life in lives.items():
        if len(life) >= 60:
            problems += [f"daemon {pid}: {reason}" for reason in growth(life)]
    print(f"{changes} changes, {len(lives)} daemon lives, {len(samples)} steady samples")
    print(table(samples))
    for problem in dict.fromkeys(problems):
        print(f"soak: FAIL: {problem}")
    print("soak: no growth" if not problems else "soak: failed")
    return 1 if problems else 0
