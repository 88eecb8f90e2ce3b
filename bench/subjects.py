"""The subjects the cost benchmark measures side by side: builds of the daemon
and the references, each started the same way in a cgroup v2 group of its
own. This module mounts: cgroup2 at CG_MOUNT (inside the sandbox's mount
namespace), and in each build's child a private mount namespace binding the
slot's LED and service folders."""

import ctypes
import os
import shutil
import signal
import subprocess
import sys
import time

from glowsim import world
from glowsim.namespace import SYSTEM_PATH
from glowsim.recorder import LEDS
from glowsim.sandbox import BIN_DIR, CGROUP_ROOTS, RUN_DIR

HERE = os.path.dirname(os.path.abspath(__file__))
CG_MOUNT = "/run/glowbench-cg"
LEAN_LEDS = "/sys/class/lean-leds"
SLOT_DIR = RUN_DIR + "/slots"  # below the sandbox's run folder: its tmpfs copies are left out of memory
LIBC = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNS, MS_BIND, MS_REC, MS_PRIVATE = 0x20000, 0x1000, 0x4000, 0x40000


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


def start_references(groups, sandbox, names, nowork):
    """The subjects beside the daemon, each in its group from its start."""
    commands = {
        "nowork": [nowork],
        "lean": ["/bin/bash", os.path.join(HERE, "lean-loop.sh"), LEAN_LEDS, CGROUP_ROOTS[sandbox.layout], "sleep"],
        "job": [nowork, "job", LEAN_LEDS + "-job", CGROUP_ROOTS[sandbox.layout]],
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
