"""The cost benchmark's measurements: CPU, memory, system calls and switches
per subject over shared windows, and write times from the kernel's
tracepoint. `args` are cost.py's options."""

import os
import statistics
import subprocess
import time

from glowsim import world
from glowsim.sandbox import RUN_DIR, Sandbox
from subjects import Groups, log, prepare_build, start_build, start_references, stop_all

# Start times in s; the builds start at 0 and 0.5 s. In the main loop's 200 ms
# they are then 100 ms apart, each 50 ms after a reference.
REFERENCE_OFFSETS = {"nowork": 0.25, "job": 0.75, "lean": 0.35, "lean-read": 0.85}
SETTLE = 3.0  # the first passes (start-up, first probe) are not counted
LONGEST_PAUSE = 5.0  # the probe's
# From the first build's start, a settled pause and a quarter of a status
# pass: halfway between the passes of builds started 0.5 s apart.
WINDOW_START = LONGEST_PAUSE + 0.25


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


def measure_round(args, label, sandbox, healthy, builds):
    """The builds (name: binary, started in this order) and the references
    side by side in one sandbox: CPU, memory, system calls and switches. The
    references of the healthy job run only beside the healthy daemon."""
    names = list(builds) + ["nowork"] + (["job", "lean", "lean-read"] if healthy else [])
    seconds = (args.cpu_seconds if healthy else args.busy_seconds) * (2 / args.rounds if args.rounds > 1 else 1)
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
                processes.update(start_references(groups, sandbox, [name], args.nowork))
        # The window holds as many passes of each loop of each build: whole
        # probe pauses, from halfway between the two builds' passes.
        time.sleep(max(0.0, start + WINDOW_START - time.monotonic()))
        log(f"{label}: CPU window of {seconds:.0f} s")
        cpu = cpu_window(groups, names, seconds)
        mem = {name: memory(process.pid) for name, process in processes.items()}
        perf_seconds = args.perf_seconds / (2 if args.rounds > 1 else 1)
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


def measure_state(args, label, sandbox, healthy):
    """All rounds of one state. With a compared build the start order is
    swapped each round, so that neither build always starts first; each
    figure is the mean over the rounds (memory: the largest), and each round's
    CPU is kept for the report."""
    builds = {"daemon": args.binary, **({"compare": args.compare} if args.compare else {})}
    rounds = []
    for number in range(args.rounds):
        order = list(builds)[::-1] if number % 2 else list(builds)
        rows = measure_round(args, f"{label}-{number + 1}", sandbox, healthy, {name: builds[name] for name in order})
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


def healthy_cost(args):
    with Sandbox(args.binary, record=False) as sandbox:
        return measure_state(args, "healthy", sandbox, healthy=True)


def busiest_world(sandbox):
    for line in ("service tiviad down", "service pelmad down", "service mender-client down", "journal install"):
        world.apply(sandbox, line)


def busiest_cost(args):
    with Sandbox(args.binary, record=False) as sandbox:
        busiest_world(sandbox)
        return measure_state(args, "busiest", sandbox, healthy=False)


def stop_time(sandbox):
    """Seconds from SIGTERM to exit, the journal follower still alive."""
    if not sandbox.wait_for(sandbox.follower_alive, 5):
        raise RuntimeError("the journal follower never came up")
    status, took = sandbox.stop()
    if status != 0:
        raise RuntimeError(f"daemon exited with {status}")
    return took


def busiest_timing(args):
    with Sandbox(args.binary, record=False) as sandbox:
        busiest_world(sandbox)
        sandbox.start()
        time.sleep(SETTLE)
        log(f"busiest: write times for {args.timing_seconds:.0f} s")
        errors, spans = phase_errors(write_times(sandbox.process.pid, args.timing_seconds), 200, 700)
        return errors, spans, stop_time(sandbox)


def slow_blink_timing(args):
    with Sandbox(args.binary, auth="Registration_possible", record=False) as sandbox:
        sandbox.start()
        time.sleep(SETTLE)
        log(f"slow blink: write times for {args.timing_seconds:.0f} s")
        return phase_errors(write_times(sandbox.process.pid, args.timing_seconds), 500, 1000)[0]


def start_and_stop(args):
    """Start to first brightness write (inotify recorder, so an upper bound)
    and SIGTERM to exit, healthy, a few times at different points of the
    connectivity pause."""
    firsts, stops = [], []
    with Sandbox(args.binary) as sandbox:
        for run in range(args.starts):
            # A write is stamped with the file's time, whose coarse clock may
            # lag a few ms: look a little before the start, well after the
            # previous run's last write.
            time.sleep(0.2)
            since = time.monotonic() - 0.05
            sandbox.start()
            if not sandbox.wait_for(lambda: sandbox.writes(since=since), 2):
                raise RuntimeError("no brightness write within 2 s of start")
            firsts.append(max(0.0, sandbox.writes(since=since)[0][0] - sandbox.started_at) * 1000)
            time.sleep(0.3 + 4.5 * run / max(1, args.starts - 1))
            stops.append(stop_time(sandbox))
    return firsts, stops


def profile(args):
    """Where the healthy daemon's time goes, call chains included."""
    data = "/run/glowbench-profile.data"
    with Sandbox(args.binary, record=False) as sandbox:
        sandbox.start()
        time.sleep(SETTLE)
        log(f"profile: perf record -g for {args.cpu_seconds:.0f} s")
        subprocess.run(["perf", "record", "-q", "-F", "20000", "-g", "-p", str(sandbox.process.pid), "-o", data,
                        "--", "sleep", str(args.cpu_seconds)], check=True)
        report = subprocess.run(["perf", "report", "-i", data, "--children", "--stdio", "--sort", "sym", "-g", "none",
                                 "--percent-limit", "2"], capture_output=True, text=True, check=True).stdout
        print(report)
        sandbox.stop()
