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

Usage (root): /usr/bin/python3 bench/cost.py [--quick] [--binary B] [--nowork N]
"""

import argparse
import os
import platform
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

from glowsim import namespace, world  # noqa: E402
from glowsim.namespace import SYSTEM_PATH  # noqa: E402
from glowsim.sandbox import BIN_DIR, CGROUP_ROOTS, RUN_DIR, Sandbox  # noqa: E402

CG_MOUNT = "/run/glowbench-cg"
LEAN_LEDS = "/sys/class/lean-leds"
COMPARE_BIN = "/run/glowbench-bin"
TRACEFS = "/sys/kernel/tracing"
SETTLE = 3.0  # the first passes (start-up, first probe) are not counted


def log(text):
    print(f"cost: {text}", file=sys.stderr, flush=True)


class Groups:
    """One cgroup v2 group per subject, below the namespace's own mount of
    the hierarchy (the sandbox covers /sys/fs/cgroup)."""

    def __init__(self, label, names):
        os.makedirs(CG_MOUNT, exist_ok=True)
        subprocess.run(["mount", "-t", "cgroup2", "glowbench", CG_MOUNT], check=True, env={"PATH": SYSTEM_PATH})
        self.prefix = f"glowbench-{os.getpid()}-{label}"
        self.names = list(names)
        for name in self.names:
            os.mkdir(self.path(name))

    def path(self, name):
        return f"{CG_MOUNT}/{self.prefix}-{name}"

    def add(self, name, pid):
        with open(self.path(name) + "/cgroup.procs", "w") as file:
            file.write(str(pid))

    def usage(self, name):
        with open(self.path(name) + "/cpu.stat") as file:
            return int(dict(line.split() for line in file)["usage_usec"])

    def close(self):
        for name in self.names:
            # Processes leave a group a moment after they are reaped.
            for attempt in range(50):
                try:
                    os.rmdir(self.path(name))
                    break
                except OSError as error:
                    if attempt == 49:
                        log(f"could not remove cgroup {self.path(name)}: {error}")
                    time.sleep(0.1)
        subprocess.run(["umount", CG_MOUNT], check=False, env={"PATH": SYSTEM_PATH})


def memory(pid):
    """Private dirty and resident KiB, and the thread count, of one process.
    The sandbox runs a copy of the daemon from tmpfs, whose pages count as
    private dirty there although they are clean file pages when the binary
    lives on a disk: those, less the copy-on-write copies, are left out."""
    result = {}
    with open(f"/proc/{pid}/smaps_rollup") as file:
        for line in file:
            key, _, rest = line.partition(":")
            if key in ("Private_Dirty", "Rss"):
                result[key] = int(rest.split()[0])
    mapping = None
    with open(f"/proc/{pid}/smaps") as file:
        for line in file:
            fields = line.split()
            if not fields[0].endswith(":"):
                mapping = fields[5] if len(fields) > 5 else None
            elif mapping and mapping.startswith(RUN_DIR) and fields[0] in ("Private_Dirty:", "Anonymous:"):
                result["Private_Dirty"] -= int(fields[1]) * (1 if fields[0] == "Private_Dirty:" else -1)
    with open(f"/proc/{pid}/status") as file:
        for line in file:
            if line.startswith("Threads:"):
                result["Threads"] = int(line.split()[1])
    return result


def cpu_window(groups, names, seconds):
    """CPU seconds per hour of running, per subject, all over the same window."""
    before = {name: groups.usage(name) for name in names}
    start = time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - start
    result = {}
    for name in names:
        total, total0 = groups.usage(name), before[name]
        result[name] = {"cpu": (total - total0) / 1e6 / elapsed * 3600}
    return result


def perf_window(groups, names, seconds):
    """System calls and context switches per second, per subject."""
    events = "raw_syscalls:sys_enter,context-switches"
    command = ["perf", "stat", "-a", "-x", ",", "-e", events, "--for-each-cgroup",
               ",".join(os.path.basename(groups.path(name)) for name in names), "--", "sleep", str(seconds)]
    output = subprocess.run(command, capture_output=True, text=True, check=True).stderr
    counts = {}
    for line in output.splitlines():
        fields = line.split(",")
        if len(fields) > 3 and fields[3].startswith(groups.prefix):
            name = fields[3][len(groups.prefix) + 1:]
            value = 0.0 if fields[0].startswith("<") else float(fields[0]) / seconds
            counts.setdefault(name, {})["syscalls" if "sys_enter" in fields[2] else "switches"] = value
    return counts


def write_times(pid, seconds):
    """(thread, seconds) of every one-byte write() of the daemon, from the
    tracepoint's kernel time stamps."""
    data = "/run/glowbench-perf.data"
    subprocess.run(["perf", "record", "-q", "-e", "syscalls:sys_enter_write", "-p", str(pid), "-o", data,
                    "--", "sleep", str(seconds)], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    script = subprocess.run(["perf", "script", "-i", data, "-F", "tid,time,trace"],
                            capture_output=True, text=True, check=True).stdout
    os.remove(data)
    writes = []
    for line in script.splitlines():
        head, _, trace = line.partition(": ")
        fields = head.split()
        if len(fields) == 2 and "count: 0x00000001" in trace:
            writes.append((int(fields[0]), float(fields[1])))
    return writes


def phase_errors(writes, nominal_ms, longest_ms):
    """Each blink phase's length less its nominal length, in ms. The writes of
    one colour change come within a few ms of each other; a phase runs from
    one change to the next on the same thread. Gaps longer than `longest_ms`
    lie between bursts (the 1 s and 5 s pauses) and are not phases. Also
    returns how long each change of the RGB LED (three writes) took, in ms."""
    errors, spans = [], []
    by_thread = {}
    for tid, stamp in writes:
        by_thread.setdefault(tid, []).append(stamp)
    for stamps in by_thread.values():
        changes = [[stamps[0]]]
        for a, b in zip(stamps, stamps[1:]):
            if b - a > 0.05:
                changes.append([])
            changes[-1].append(b)
        spans += [(change[-1] - change[0]) * 1000 for change in changes if len(change) == 3]
        for a, b in zip(changes, changes[1:]):
            gap = (b[0] - a[0]) * 1000
            if gap < longest_ms:
                errors.append(gap - nominal_ms)
    return errors, spans


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def start_references(groups, sandbox, names, busy):
    """The subjects beside the daemon, each in its group from its start."""
    commands = {
        "nowork": [ARGS.nowork],
        "lean": ["/bin/bash", os.path.join(HERE, "lean-loop.sh"), LEAN_LEDS, CGROUP_ROOTS[sandbox.layout], "sleep"],
        "job": [ARGS.nowork, "job", LEAN_LEDS + "-job", CGROUP_ROOTS[sandbox.layout]],
        "lean-read": ["/bin/bash", os.path.join(HERE, "lean-loop.sh"), LEAN_LEDS + "-read",
                      CGROUP_ROOTS[sandbox.layout], "read"],
        # Writes the same files as the daemon; nothing watches them here.
        "compare": [ARGS.compare],
    }
    if "compare" in names:
        # A follower of its own: the sandbox's journal feeds one reader only.
        os.makedirs(COMPARE_BIN, exist_ok=True)
        line = world.journal_line(world.TRANSITIONS["install"]) if busy else None
        with open(COMPARE_BIN + "/journalctl", "w") as file:
            file.write("#!/bin/sh\n" + (f"echo '{line}'\n" if line else "") + "exec sleep infinity\n")
        os.chmod(COMPARE_BIN + "/journalctl", 0o755)
    for folder in ("", "-read", "-job"):
        os.makedirs(LEAN_LEDS + folder, exist_ok=True)
    processes = {}
    for name in names:
        if name == "daemon":
            continue
        processes[name] = subprocess.Popen(commands[name], start_new_session=True, stdout=subprocess.DEVNULL,
                                           preexec_fn=lambda name=name: groups.add(name, os.getpid()),
                                           env={"PATH": f"{COMPARE_BIN if name == 'compare' else BIN_DIR}:"
                                                        f"{SYSTEM_PATH}", "LANG": "C", "GLOWSIM_IN_NAMESPACE": "1"})
    return processes


def stop_references(processes):
    for process in processes.values():
        os.killpg(process.pid, signal.SIGTERM)
        process.wait()


def measure_state(label, sandbox, healthy):
    """Daemon and references side by side in one sandbox: CPU, memory,
    system calls and switches. The references of the healthy job run only
    beside the healthy daemon."""
    names = ["daemon", "nowork"] + (["job", "lean", "lean-read"] if healthy else [])
    names += ["compare"] if ARGS.compare else []
    seconds = ARGS.cpu_seconds if healthy else ARGS.busy_seconds
    groups = Groups(label, names)
    references = {}
    try:
        sandbox.start()
        groups.add("daemon", sandbox.process.pid)
        references = start_references(groups, sandbox, names, busy=not healthy)
        time.sleep(SETTLE)
        log(f"{label}: CPU window of {seconds:.0f} s")
        cpu = cpu_window(groups, names, seconds)
        pids = {"daemon": sandbox.process.pid, **{name: p.pid for name, p in references.items()}}
        mem = {name: memory(pid) for name, pid in pids.items()}
        log(f"{label}: system-call window of {ARGS.perf_seconds:.0f} s")
        counts = perf_window(groups, names, ARGS.perf_seconds)
        rows = {name: {**cpu[name], **mem[name], **counts.get(name, {})} for name in names}
    finally:
        stop_references(references)
        # Stopped, not killed: the follower it started sits in its group.
        if sandbox.running():
            sandbox.stop()
        groups.close()
    return rows


def healthy_cost():
    with Sandbox(ARGS.binary, record=False) as sandbox:
        return measure_state("healthy", sandbox, healthy=True)


def busiest_world(sandbox):
    for line in ("service tiviad down", "service pelmad down", "service mender-client down", "journal install"):
        world.apply(sandbox, line)


def busiest_cost():
    with Sandbox(ARGS.binary, record=False) as sandbox:
        busiest_world(sandbox)
        return measure_state("busiest", sandbox, healthy=False)


def stop_time(sandbox):
    """Seconds from SIGTERM to exit, the journal follower still alive."""
    if not sandbox.wait_for(sandbox.follower_alive, 5):
        raise RuntimeError("the journal follower never came up")
    status, took = sandbox.stop()
    if status != 0:
        raise RuntimeError(f"daemon exited with {status}")
    return took


def busiest_timing():
    with Sandbox(ARGS.binary, record=False) as sandbox:
        busiest_world(sandbox)
        sandbox.start()
        time.sleep(SETTLE)
        log(f"busiest: write times for {ARGS.timing_seconds:.0f} s")
        errors, spans = phase_errors(write_times(sandbox.process.pid, ARGS.timing_seconds), 200, 700)
        return errors, spans, stop_time(sandbox)


def slow_blink_timing():
    with Sandbox(ARGS.binary, auth="Registration_possible", record=False) as sandbox:
        sandbox.start()
        time.sleep(SETTLE)
        log(f"slow blink: write times for {ARGS.timing_seconds:.0f} s")
        return phase_errors(write_times(sandbox.process.pid, ARGS.timing_seconds), 500, 1000)[0]


def start_and_stop():
    """Start to first brightness write (inotify recorder, so an upper bound)
    and SIGTERM to exit, healthy, a few times at different points of the
    connectivity pause."""
    firsts, stops = [], []
    with Sandbox(ARGS.binary) as sandbox:
        for run in range(ARGS.starts):
            # A write is stamped with the file's time, whose coarse clock may
            # lag a few ms: look a little before the start, well after the
            # previous run's last write.
            time.sleep(0.2)
            since = time.monotonic() - 0.05
            sandbox.start()
            if not sandbox.wait_for(lambda: sandbox.writes(since=since), 2):
                raise RuntimeError("no brightness write within 2 s of start")
            firsts.append(max(0.0, sandbox.writes(since=since)[0][0] - sandbox.started_at) * 1000)
            time.sleep(0.3 + 4.5 * run / max(1, ARGS.starts - 1))
            stops.append(stop_time(sandbox))
    return firsts, stops


def profile():
    """Where the healthy daemon's time goes, call chains included."""
    data = "/run/glowbench-profile.data"
    with Sandbox(ARGS.binary, record=False) as sandbox:
        sandbox.start()
        time.sleep(SETTLE)
        log(f"profile: perf record -g for {ARGS.cpu_seconds:.0f} s")
        subprocess.run(["perf", "record", "-q", "-F", "20000", "-g", "-p", str(sandbox.process.pid), "-o", data,
                        "--", "sleep", str(ARGS.cpu_seconds)], check=True)
        report = subprocess.run(["perf", "report", "-i", data, "--children", "--stdio", "--sort", "sym", "-g", "none",
                                 "--percent-limit", "2"], capture_output=True, text=True, check=True).stdout
        print(report)
        sandbox.stop()


def machine():
    with open("/proc/cpuinfo") as file:
        model = next((line.split(":", 1)[1].strip() for line in file if line.startswith("model name")), "?")
    load = open("/proc/loadavg").read().split()[:3]
    return (f"{time.strftime('%Y-%m-%d %H:%M %Z')}; {os.cpu_count()} cores, {model}, kernel {platform.release()}; "
            f"load average before the run {' '.join(load)}")


def table(healthy, busiest, fast, spans, slow, firsts, stops, busy_stop, before):
    labels = {"daemon": "daemon, healthy", "nowork": "no-work program", "job": "bare job in C (its system calls only)",
              "lean": "lean shell loop (`sleep 1`)",
              "lean-read": "lean shell loop (`read -t 1`)", "compare": "compared build, healthy"}
    lines = [f"Measured {before}.", "",
             "| Subject | CPU s/hour | Private dirty KiB | RSS KiB | Threads | Wake-ups/s | System calls/s |",
             "|---|---:|---:|---:|---:|---:|---:|"]

    def row(label, values):
        lines.append(f"| {label} | {values['cpu']:.3f} | {values['Private_Dirty']} | {values['Rss']} | "
                     f"{values['Threads']} | {values.get('switches', 0):.1f} | {values.get('syscalls', 0):.1f} |")

    for name in ("daemon", "nowork", "job", "lean", "lean-read", "compare"):
        if name in healthy:
            row(labels[name], healthy[name])
    row("daemon, busiest", busiest["daemon"])
    row("no-work program (busiest run)", busiest["nowork"])
    if "compare" in busiest:
        row("compared build, busiest", busiest["compare"])
    over_nowork = healthy["daemon"]["cpu"] / healthy["nowork"]["cpu"]
    under_lean = healthy["lean"]["cpu"] / healthy["daemon"]["cpu"]
    busy_over = busiest["daemon"]["cpu"] / busiest["nowork"]["cpu"]
    lines += ["", f"Healthy CPU: {over_nowork:.2f} × the no-work program (target ≤ 1.5), "
              f"{under_lean:.1f} × cheaper than the lean shell loop (target ≥ 8), "
              f"{healthy['lean-read']['cpu'] / healthy['daemon']['cpu']:.1f} × cheaper than the loop that does not "
              f"fork for its pause. The bare job costs {healthy['job']['cpu'] / healthy['nowork']['cpu']:.2f} × the "
              f"no-work program, the daemon {healthy['daemon']['cpu'] / healthy['job']['cpu']:.2f} × the bare job. "
              f"Busiest CPU: {busy_over:.2f} × the no-work program."]
    if "compare" in healthy:
        lines.append(f"Compared build: {healthy['compare']['cpu'] / healthy['nowork']['cpu']:.2f} × the no-work "
                     f"program healthy, {busiest['compare']['cpu'] / busiest['nowork']['cpu']:.2f} × busiest.")
    lines += ["",
              "| Timing | p50 | p99 | max | samples | target |", "|---|---:|---:|---:|---:|---|"]

    def timing(label, values, target):
        lines.append(f"| {label} | {statistics.median(values):.3f} | {percentile(values, 0.99):.3f} | "
                     f"{max(values, key=abs):.3f} | {len(values)} | {target} |")

    timing("blink phase error, 200 ms phases (ms)", fast, "p99 ≤ 1")
    timing("blink phase error, 500 ms phases (ms)", slow, "p99 ≤ 1")
    timing("RGB colour change, first to third write (ms)", spans, "")
    timing("start to first brightness write (ms)", firsts, "≤ 50")
    timing("SIGTERM to exit, healthy, follower alive (s)", stops, "≤ 5 s pause")
    timing("SIGTERM to exit, busiest, follower alive (s)", [busy_stop], "≤ 5 s pause")
    return "\n".join(lines)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default="build/glowkeeper")
    parser.add_argument("--nowork", default="build/bench/nowork")
    parser.add_argument("--compare", help="another build of the daemon, measured beside it")
    parser.add_argument("--quick", action="store_true", help="short windows (about a minute in all)")
    parser.add_argument("--profile", action="store_true",
                        help="instead: the healthy daemon alone under perf record -g, then its report")
    ARGS = parser.parse_args()
    ARGS.binary = os.path.abspath(ARGS.binary)
    ARGS.nowork = os.path.abspath(ARGS.nowork)
    ARGS.compare = ARGS.compare and os.path.abspath(ARGS.compare)
    scale = 0.25 if ARGS.quick else 1.0
    ARGS.cpu_seconds, ARGS.busy_seconds = 90 * scale, 45 * scale
    ARGS.perf_seconds, ARGS.timing_seconds = max(5, 10 * scale), 40 * scale
    ARGS.starts = 3 if ARGS.quick else 5
    namespace.require_root("the cost benchmark", "it mounts cgroup2 groups of its own and runs perf", 1)
    namespace.enter(unavailable_status=1)
    if not os.path.isdir(TRACEFS + "/events/syscalls"):
        subprocess.run(["mount", "-t", "tracefs", "nodev", TRACEFS], check=True, env={"PATH": SYSTEM_PATH})
    if ARGS.profile:
        profile()
        return
    before = machine()
    healthy = healthy_cost()
    busiest = busiest_cost()
    fast, spans, busy_stop = busiest_timing()
    slow = slow_blink_timing()
    firsts, stops = start_and_stop()
    print(table(healthy, busiest, fast, spans, slow, firsts, stops, busy_stop, before))
    print(f"\nLoad average after the run: {' '.join(open('/proc/loadavg').read().split()[:3])}")


if __name__ == "__main__":
    main()
