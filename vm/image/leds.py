#!/usr/bin/python3
"""The gateway's four LEDs as real LED class devices, through the kernel's
userspace-LED module (uleds), for the VM test.

  leds record LOG               registers the LEDs and appends every brightness
                               the kernel hands them, with its time, to LOG
  leds expect LOG PATTERN   waits (up to --within seconds) until the last
                               --window seconds of LOG show PATTERN, e.g.
                               "red=flashes:3 green=off blue=off single=off"

A LED reads "on" or "off" when it kept that value for the whole window, and
"flashes:N" when it flashed, N being the longest burst of flashes in it.
"""
import argparse
import os
import select
import struct
import sys
import time

LEDS = {"KYT:LED1": "single", "KYT:RGBLED1.1": "red", "KYT:RGBLED1.2": "green", "KYT:RGBLED1.3": "blue"}
BURST_GAP = 0.6  # a longer dark spell ends a burst of fast flashes (200 ms)


def record(log):
    with open(log, "a", buffering=1) as out:
        names = {}
        for name in LEDS:
            fd = os.open("/dev/uleds", os.O_RDWR)
            # struct uleds_user_dev { char name[64]; int max_brightness; }
            os.write(fd, struct.pack("64si", name.encode(), 255))
            names[fd] = LEDS[name]
        poll = select.poll()
        for fd in names:
            poll.register(fd, select.POLLIN)
        while True:
            for fd, _ in poll.poll():
                (value,) = struct.unpack("i", os.read(fd, 4))
                out.write(f"{time.monotonic():.3f} {names[fd]} {value}\n")


def describe(events, start):
    """What one LED did since start, from its (time, value) changes."""
    before = [value for when, value in events if when < start]
    lit = bool(before and before[-1])
    inside = [(when, value) for when, value in events if when >= start]
    longest, burst, last_off = 0, 0, None
    for when, value in inside:
        if value and not lit:
            burst = burst + 1 if last_off is not None and when - last_off < BURST_GAP else 1
            longest = max(longest, burst)
        elif not value and lit:
            last_off = when
        lit = bool(value)
    if longest:
        return f"flashes:{longest}"
    return "on" if lit else "off"


def observe(log, window):
    events = {colour: [] for colour in LEDS.values()}
    with open(log) as lines:
        for line in lines:
            when, colour, value = line.split()
            events[colour].append((float(when), int(value)))
    start = time.monotonic() - window
    return {colour: describe(changes, start) for colour, changes in events.items()}


def expect(log, pattern, within, window):
    wanted = dict(item.split("=") for item in pattern.split())
    deadline = time.monotonic() + within
    while True:
        seen = observe(log, window)
        if all(seen[colour] == state for colour, state in wanted.items()):
            return 0
        if time.monotonic() > deadline:
            print("saw " + " ".join(f"{c}={s}" for c, s in seen.items()), file=sys.stderr)
            return 1
        time.sleep(0.5)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    verbs = parser.add_subparsers(dest="verb", required=True)
    verbs.add_parser("record").add_argument("log")
    check = verbs.add_parser("expect")
    check.add_argument("log")
    check.add_argument("pattern")
    check.add_argument("--within", type=float, default=20)
    check.add_argument("--window", type=float, default=4)
    args = parser.parse_args()
    if args.verb == "record":
        record(args.log)
    return expect(args.log, args.pattern, args.within, args.window)


if __name__ == "__main__":
    sys.exit(main())
