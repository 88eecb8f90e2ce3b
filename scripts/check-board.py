#!/usr/bin/env python3
"""Holds what must follow the board's names to src/board.hpp: the unit's
write access to the LEDs and its one allowed address, the udev rule's LED
names, and the simulator's LEDs and services. Fails naming each difference.

The unit and the udev rule are found under packaging/ or debian/.
"""

import fnmatch
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BOARD = ROOT / "src" / "board.hpp"
sys.path.insert(0, str(ROOT / "tools"))
from glowsim import recorder, sandbox  # noqa: E402


def board():
    text = BOARD.read_text()
    leds = re.findall(r'"/sys/class/leds/([^/"]+)/brightness"', text)
    services = re.search(r"services\s*=\s*\{([^}]*)\}", text)
    address = re.search(r'probeAddress\s*=\s*"([^"]+)"', text)
    if len(leds) != 4 or not services or not address:
        sys.exit(f"check-board: {BOARD.relative_to(ROOT)}: expected four LED paths, the services and the probe "
                 "address")
    return leds, re.findall(r'"([^"]+)"', services.group(1)), address.group(1)


def found(patterns):
    return sorted(path for folder in ("packaging", "debian") for pattern in patterns
                  for path in (ROOT / folder).glob(pattern))


def unit_problems(leds, address):
    problems = []
    units = found(["glowkeeper.service", "*.glowkeeper.service"])
    if not units:
        return ["no glowkeeper.service under packaging/ or debian/"]
    want = {f"/sys/class/leds/{led}/brightness" for led in leds}
    for unit in units:
        where = unit.relative_to(ROOT)
        text = unit.read_text()
        paths = {path.lstrip("-+") for line in re.findall(r"^ReadWritePaths=(.*)$", text, re.M)
                 for path in line.split()}
        leds_given = {path for path in paths if path.startswith("/sys/class/leds/")}
        problems += [f"{where}: ReadWritePaths lacks {path}" for path in sorted(want - leds_given)]
        problems += [f"{where}: ReadWritePaths has {path}, no LED of the board" for path in sorted(leds_given - want)]
        allowed = {a for line in re.findall(r"^IPAddressAllow=(.*)$", text, re.M) for a in line.split()}
        if allowed and address not in allowed:
            problems.append(f"{where}: IPAddressAllow has {sorted(allowed)}, not the probe's {address}")
    return problems


def udev_problems(leds):
    problems = []
    rules = found(["*.rules", "*.udev"])
    if not rules:
        return ["no udev rule under packaging/ or debian/"]
    for rule in rules:
        where = rule.relative_to(ROOT)
        patterns = [p for match in re.findall(r'KERNEL=="([^"]*)"', rule.read_text()) for p in match.split("|")]
        problems += [f"{where}: no KERNEL match for {led}" for led in leds
                     if not any(fnmatch.fnmatchcase(led, p) for p in patterns)]
        problems += [f"{where}: KERNEL {p!r} matches no LED of the board" for p in patterns
                     if not any(fnmatch.fnmatchcase(led, p) for led in leds)]
    return problems


def simulator_problems(leds, services):
    problems = []
    if list(recorder.LEDS.values()) != leds:
        problems.append(f"tools/glowsim/recorder.py: LEDS {list(recorder.LEDS.values())}, not {leds}")
    if list(sandbox.SERVICES) != services:
        problems.append(f"tools/glowsim/sandbox.py: SERVICES {list(sandbox.SERVICES)}, not {services}")
    return problems


def main():
    leds, services, address = board()
    problems = unit_problems(leds, address) + udev_problems(leds) + simulator_problems(leds, services)
    for problem in problems:
        print(f"check-board: {problem}", file=sys.stderr)
    if not problems:
        print(f"board: {len(leds)} LEDs, {len(services)} services and {address} followed by unit, udev rule "
              "and simulator")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
