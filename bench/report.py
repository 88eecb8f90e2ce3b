"""The cost benchmark's report: one Markdown table of the subjects' figures,
how they compare, and a table of timings."""

import os
import platform
import statistics
import time


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


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


def comparison(args, healthy, busiest):
    def change(state):
        return (state["daemon"]["cpu"] / state["compare"]["cpu"] - 1) * 100

    def per_round(state):
        return ", ".join(f"{cpu['daemon']:.3f}/{cpu['compare']:.3f}{'' if order[0] == 'daemon' else ' (swapped)'}"
                         for order, cpu in state["rounds"])

    text = (f"Against the compared build ({os.path.basename(args.compare)}), mean CPU over {args.rounds} rounds "
            f"with the start order swapped each round: {change(healthy):+.1f} % healthy "
            f"({healthy['daemon']['cpu']:.3f} against {healthy['compare']['cpu']:.3f} s/hour), "
            f"{change(busiest):+.1f} % busiest ({busiest['daemon']['cpu']:.3f} against "
            f"{busiest['compare']['cpu']:.3f}). Per round, daemon/compared, healthy: {per_round(healthy)}; "
            f"busiest: {per_round(busiest)}.")
    if args.rounds > 1:
        text += (f" The build started first cost {slot_bias(healthy['rounds']):+.1f} % healthy and "
                 f"{slot_bias(busiest['rounds']):+.1f} % busiest against the one started second.")
    return text


def table(args, healthy, busiest, fast, spans, slow, firsts, stops, busy_stop, before):
    labels = {"daemon": "daemon, healthy", "nowork": "no-work program", "job": "bare job in C (its system calls only)",
              "lean": "lean shell loop (`sleep 1`)",
              "lean-read": "lean shell loop (`read -t 1`)",
              "compare": f"compared build ({os.path.basename(args.compare or '')}), healthy"}
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
        row(f"compared build ({os.path.basename(args.compare)}), busiest", busiest["compare"])
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
        lines += ["", comparison(args, healthy, busiest)]
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
