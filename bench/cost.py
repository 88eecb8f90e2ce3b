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
import ctypes
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

from glowsim import namespace, world  # noqa: E402
from glowsim.namespace import SYSTEM_PATH  # noqa: E402
from glowsim.recorder import LEDS  # noqa: E402
from glowsim.sandbox import BIN_DIR, CGROUP_ROOTS, RUN_DIR, Sandbox  # noqa: E402

CG_MOUNT = "/run/glowbench-cg"
LEAN_LEDS = "/sys/class/lean-leds"
SLOT_DIR = RUN_DIR + "/slots"  # below the sandbox's run folder: its tmpfs copies are left out of memory
TRACEFS = "/sys/kernel/tracing"
LIBC = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNS, MS_BIND, MS_REC, MS_PRIVATE = 0x20000, 0x1000, 0x4000, 0x40000
# Start times in s; the builds start at 0 and 0.5 s. In the main loop's 200 ms
# they are then 100 ms apart, each 50 ms after a reference.
REFERENCE_OFFSETS = {"nowork": 0.25, "job": 0.75, "lean": 0.35, "lean-read": 0.85}
SETTLE = 3.0  # the first passes (start-up, first probe) are not counted
LONGEST_PAUSE = 5.0  # the probe's
# From the first build's start, a settled pause and a quarter of a status
# pass: halfway between the passes of builds started 0.5 s apart.
WINDOW_START = LONGEST_PAUSE + 0.25


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


def pin():
    """All subjects on one processor: each then meets the same other load,
    caches and interrupts, instead of whichever the scheduler gave it."""
    os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})


def enter_world(folder):
    """In a build's child before exec: a mount namespace of its own where the
    LED folders and the service folders are the slot's copies."""
    for result in (LIBC.unshare(CLONE_NEWNS), LIBC.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None),
                   LIBC.mount(f"{folder}/leds".encode(), b"/sys/class/leds", None, MS_BIND, None),
                   LIBC.mount(f"{folder}/cgroup".encode(), b"/sys/fs/cgroup", None, MS_BIND, None)):
        if result != 0:
            raise OSError(ctypes.get_errno(), "cannot give the build its own LED and service folders")


def prepare_build(sandbox, name, binary, busy):
    """One build of the daemon, started the same way in either slot: a copy
    on the sandbox's tmpfs, a stand-in `journalctl` of its own that hands over
    the busiest state's line and then waits, no reader on its output, its
    group from its start, and LED and service folders of its own, copies of
    the sandbox's. (The sandbox's own start would give one build a follower
    reading its FIFO and readers on its output, the other none; and two
    builds on the same files each find them in the cache after the other.)"""
    folder = f"{SLOT_DIR}/{name}"
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder + "/bin")
    shutil.copy2(binary, folder + "/glowkeeper")
    for device in LEDS.values():
        os.makedirs(f"{folder}/leds/{device}")
        with open(f"{folder}/leds/{device}/brightness", "w") as file:
            file.write("0")
    services = folder + "/cgroup" + CGROUP_ROOTS[sandbox.layout][len("/sys/fs/cgroup"):]
    os.makedirs(services)
    for service in sandbox.services():
        os.makedirs(f"{services}/{service}.service")
    line = world.journal_line(world.TRANSITIONS["install"]) if busy else None
    with open(folder + "/bin/journalctl", "w") as file:
        file.write("#!/bin/sh\n" + (f"echo '{line}'\n" if line else "") + "exec sleep infinity\n")
    os.chmod(folder + "/bin/journalctl", 0o755)


def start_build(groups, name):
    folder = f"{SLOT_DIR}/{name}"
    return subprocess.Popen([folder + "/glowkeeper"], start_new_session=True, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            preexec_fn=lambda: (groups.add(name, os.getpid()), pin(), enter_world(folder)),
                            env={"PATH": f"{folder}/bin:{SYSTEM_PATH}", "LANG": "C"})


def start_references(groups, sandbox, names):
    """The subjects beside the daemon, each in its group from its start."""
    commands = {
        "nowork": [ARGS.nowork],
        "lean": ["/bin/bash", os.path.join(HERE, "lean-loop.sh"), LEAN_LEDS, CGROUP_ROOTS[sandbox.layout], "sleep"],
        "job": [ARGS.nowork, "job", LEAN_LEDS + "-job", CGROUP_ROOTS[sandbox.layout]],
        "lean-read": ["/bin/bash", os.path.join(HERE, "lean-loop.sh"), LEAN_LEDS + "-read",
                      CGROUP_ROOTS[sandbox.layout], "read"],
    }
    for folder in ("", "-read", "-job"):
        os.makedirs(LEAN_LEDS + folder, exist_ok=True)
    processes = {}
    for name in names:
        processes[name] = subprocess.Popen(commands[name], start_new_session=True, stdout=subprocess.DEVNULL,
                                           preexec_fn=lambda name=name: (groups.add(name, os.getpid()), pin()),
                                           env={"PATH": f"{BIN_DIR}:{SYSTEM_PATH}", "LANG": "C",
                                                "GLOWSIM_IN_NAMESPACE": "1"})
    return processes


def stop_all(processes):
    # All signalled first: each daemon may take up to its 5 s pause to end.
    for process in processes.values():
        os.killpg(process.pid, signal.SIGTERM)
    for process in processes.values():
        process.wait()


def measure_round(label, sandbox, healthy, builds):
    """The builds (name: binary, started in this order) and the references
    side by side in one sandbox: CPU, memory, system calls and switches. The
    references of the healthy job run only beside the healthy daemon."""
    names = list(builds) + ["nowork"] + (["job", "lean", "lean-read"] if healthy else [])
    seconds = (ARGS.cpu_seconds if healthy else ARGS.busy_seconds) * (2 / ARGS.rounds if ARGS.rounds > 1 else 1)
    seconds = max(1, round(seconds / LONGEST_PAUSE)) * LONGEST_PAUSE
    groups = Groups(label, names)
    processes = {}
    try:
        # Subjects started together wake together, and the one woken second
        # finds the caches warm (more so after the same program), so it costs
        # less than it would alone. The builds start half a status pass apart,
        # which is also half a main-loop pass; the references between them.
        for name, binary in builds.items():
            prepare_build(sandbox, name, binary, busy=not healthy)
        offsets = {**REFERENCE_OFFSETS, **{name: 0.5 * position for position, name in enumerate(builds)}}
        start = time.monotonic()
        for name in sorted(names, key=offsets.get):
            time.sleep(max(0.0, start + offsets[name] - time.monotonic()))
            if name in builds:
                processes[name] = start_build(groups, name)
            else:
                processes.update(start_references(groups, sandbox, [name]))
        # The window holds as many passes of each loop of each build: whole
        # probe pauses, from halfway between the two builds' passes.
        time.sleep(max(0.0, start + WINDOW_START - time.monotonic()))
        log(f"{label}: CPU window of {seconds:.0f} s")
        cpu = cpu_window(groups, names, seconds)
        mem = {name: memory(process.pid) for name, process in processes.items()}
        perf_seconds = ARGS.perf_seconds / (2 if ARGS.rounds > 1 else 1)
        log(f"{label}: system-call window of {perf_seconds:.0f} s")
        counts = perf_window(groups, names, perf_seconds)
        ended = {name: process.poll() for name, process in processes.items() if process.poll() is not None}
        if ended:
            raise RuntimeError(f"{label}: ended during the measurement (exit status): {ended}")
        rows = {name: {**cpu[name], **mem[name], **counts.get(name, {})} for name in names}
    finally:
        stop_all(processes)
        groups.close()
    return rows


def measure_state(label, sandbox, healthy):
    """All rounds of one state. With a compared build the start order is
    swapped each round, so that neither build always starts first; each
    figure is the mean over the rounds (memory: the largest), and each round's
    CPU is kept for the report."""
    builds = {"daemon": ARGS.binary, **({"compare": ARGS.compare} if ARGS.compare else {})}
    rounds = []
    for number in range(ARGS.rounds):
        order = list(builds)[::-1] if number % 2 else list(builds)
        rows = measure_round(f"{label}-{number + 1}", sandbox, healthy, {name: builds[name] for name in order})
        rows["order"] = order
        rounds.append(rows)
    merged = {}
    for name in rounds[0]:
        if name == "order":
            continue
        values = [rows[name] for rows in rounds]
        merged[name] = {key: (max if key in ("Private_Dirty", "Rss", "Threads") else statistics.mean)(
            value[key] for value in values) for key in values[0]}
    merged["rounds"] = [(rows["order"], {name: rows[name]["cpu"] for name in builds}) for rows in rounds]
    return merged


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


def slot_bias(rounds):
    """How much more the build started first costs than the one started
    second, in per cent, over rounds that swap the order: the builds'
    own difference cancels out."""
    first = statistics.mean(cpu[order[0]] for order, cpu in rounds)
    second = statistics.mean(cpu[order[1]] for order, cpu in rounds)
    return (first / second - 1) * 100


def comparison(healthy, busiest):
    def change(state):
        return (state["daemon"]["cpu"] / state["compare"]["cpu"] - 1) * 100

    def per_round(state):
        return ", ".join(f"{cpu['daemon']:.3f}/{cpu['compare']:.3f}{'' if order[0] == 'daemon' else ' (swapped)'}"
                         for order, cpu in state["rounds"])

    text = (f"Against the compared build ({os.path.basename(ARGS.compare)}), mean CPU over {ARGS.rounds} rounds "
            f"with the start order swapped each round: {change(healthy):+.1f} % healthy "
            f"({healthy['daemon']['cpu']:.3f} against {healthy['compare']['cpu']:.3f} s/hour), "
            f"{change(busiest):+.1f} % busiest ({busiest['daemon']['cpu']:.3f} against "
            f"{busiest['compare']['cpu']:.3f}). Per round, daemon/compared, healthy: {per_round(healthy)}; "
            f"busiest: {per_round(busiest)}.")
    if ARGS.rounds > 1:
        text += (f" The build started first cost {slot_bias(healthy['rounds']):+.1f} % healthy and "
                 f"{slot_bias(busiest['rounds']):+.1f} % busiest against the one started second.")
    return text


def table(healthy, busiest, fast, spans, slow, firsts, stops, busy_stop, before):
    labels = {"daemon": "daemon, healthy", "nowork": "no-work program", "job": "bare job in C (its system calls only)",
              "lean": "lean shell loop (`sleep 1`)",
              "lean-read": "lean shell loop (`read -t 1`)",
              "compare": f"compared build ({os.path.basename(ARGS.compare or '')}), healthy"}
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
        row(f"compared build ({os.path.basename(ARGS.compare)}), busiest", busiest["compare"])
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
        lines += ["", comparison(healthy, busiest)]
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
    parser.add_argument("--rounds", type=int,
                        help="with --compare: rounds, the start order swapped each round (default 4); "
                        "the windows, twice a single run's in all, are split over them")
    parser.add_argument("--quick", action="store_true", help="short windows (about a minute in all)")
    parser.add_argument("--profile", action="store_true",
                        help="instead: the healthy daemon alone under perf record -g, then its report")
    ARGS = parser.parse_args()
    ARGS.binary = os.path.abspath(ARGS.binary)
    ARGS.nowork = os.path.abspath(ARGS.nowork)
    ARGS.compare = ARGS.compare and os.path.abspath(ARGS.compare)
    for binary in (ARGS.binary, ARGS.compare):
        if binary and (not os.access(binary, os.X_OK) or binary.startswith(("/tmp/", "/run/"))):
            parser.error(f"{binary}: no executable file outside /tmp and /run (the sandbox covers those)")
    ARGS.rounds = ARGS.rounds or (4 if ARGS.compare else 1)
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
