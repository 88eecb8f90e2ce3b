"""Cost benchmark: runs the real daemon in the glowsim sandbox, healthy and
busiest, side by side with two references of the same job, and prints one
Markdown table.

  no-work   the daemon's fixed schedule doing nothing (bench/nowork.cpp)
  bare job  the same schedule making only the healthy job's system calls
  lean      a shell loop doing the healthy job (bench/lean-loop.sh)

CPU time comes from a cgroup v2 group per subject (cpu.stat, microseconds,
children included), taken while no file watcher or tracer is on; system
calls and context switches from `perf stat --for-each-cgroup` in a window
of their own; write times from `perf record` on the write system call's
tracepoint (kernel time stamps), again in windows of their own.

With --compare, the two builds run side by side in slots started the same
way, over several rounds with their start order swapped each round; each
build's figures are the mean over the rounds.

Usage (root): /usr/bin/python3 bench/cost.py [--quick] [--binary B] [--nowork N]
              [--compare B2] [--rounds N]
"""

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

from glowsim import namespace  # noqa: E402
from glowsim.namespace import SYSTEM_PATH  # noqa: E402
import measure  # noqa: E402
import report  # noqa: E402

TRACEFS = "/sys/kernel/tracing"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default="build/glowkeeper")
    parser.add_argument("--nowork", default="build/bench/nowork")
    parser.add_argument("--compare", help="another build of the daemon, measured beside it")
    parser.add_argument("--rounds", type=int,
                        help="with --compare: rounds, the start order swapped each round (default 4); "
                        "the windows, twice a single run's in all, are split over them")
    parser.add_argument("--quick", action="store_true", help="short windows (about a minute in all)")
    parser.add_argument("--profile", action="store_true",
                        help="instead: the healthy daemon alone under perf record -g, then its report")
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    args.nowork = os.path.abspath(args.nowork)
    args.compare = args.compare and os.path.abspath(args.compare)
    for binary in (args.binary, args.compare):
        if binary and (not os.access(binary, os.X_OK) or binary.startswith(("/tmp/", "/run/"))):
            parser.error(f"{binary}: no executable file outside /tmp and /run (the sandbox covers those)")
    args.rounds = args.rounds or (4 if args.compare else 1)
    scale = 0.25 if args.quick else 1.0
    args.cpu_seconds, args.busy_seconds = 90 * scale, 45 * scale
    args.perf_seconds, args.timing_seconds = max(5, 10 * scale), 40 * scale
    args.starts = 3 if args.quick else 5
    namespace.require_root("the cost benchmark", "it mounts cgroup2 groups of its own and runs perf", 1)
    namespace.enter(unavailable_status=1)
    if not os.path.isdir(TRACEFS + "/events/syscalls"):
        subprocess.run(["mount", "-t", "tracefs", "nodev", TRACEFS], check=True, env={"PATH": SYSTEM_PATH})
    if args.profile:
        measure.profile(args)
        return
    before = report.machine()
    healthy = measure.healthy_cost(args)
    busiest = measure.busiest_cost(args)
    fast, spans, busy_stop = measure.busiest_timing(args)
    slow = measure.slow_blink_timing(args)
    firsts, stops = measure.start_and_stop(args)
    print(report.table(args, healthy, busiest, fast, spans, slow, firsts, stops, busy_stop, before))
    print(f"\nLoad average after the run: {' '.join(open('/proc/loadavg').read().split()[:3])}")


if __name__ == "__main__":
    main()
