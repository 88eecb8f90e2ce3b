"""One run of the unchanged daemon on simulated hardware, and its world.

It mounts tmpfs over /sys/class (the four LED folders), /sys/fs/cgroup
(service folders), /tmp (the authentication file) and /run (the sandbox's own
files), with a stand-in `journalctl` first on PATH whose output is fed line
by line, and refuses to do so outside its own namespace. network.py puts the
daemon in a control group of its own, made in the host's cgroup2 tree before
the tmpfs covers it, and attaches the BPF program of `net nosocket` to it. The
cost benchmark mounts cgroup2 and tracefs of its own (bench/). Without root
that namespace is an unprivileged user namespace; everything works there but
running the daemon as another user and refusing its sockets (net nosocket).
"""

import os
import pwd
import resource
import re
import shutil
import signal
import subprocess
import threading
import time

from .namespace import SYSTEM_PATH, mount_tmpfs, require_private_namespace, rootless
from .network import Network, SocketGate
from .recorder import LEDS, WriteRecorder, read_value

SERVICES = ("tiviad", "pelmad", "mender-client")
CGROUP_ROOTS = {"v2": "/sys/fs/cgroup/system.slice", "v1": "/sys/fs/cgroup/systemd/system.slice"}
AUTH_FILE = "/tmp/Auth_status.txt"
RUN_DIR = "/run/glowsim"
BIN_DIR = RUN_DIR + "/bin"
JOURNAL_FIFO = RUN_DIR + "/journal"
FOLLOWER_PID_FILE = RUN_DIR + "/journalctl.pid"
LOG_LINE = re.compile(r"^\[[^\]]+\] \[glowkeeper\] \[(\w+)\] (.*)$")


class Sandbox:
    """The daemon and the world it looks at. Use as a context manager."""

    def __init__(self, binary, layout="v2", services=SERVICES, net="reachable", auth=None, journalctl=True,
                 user=None, record=True):
        self.binary = os.path.abspath(binary)
        self.layout = layout
        self.initial_services = tuple(services)
        self.initial_net = net
        self.auth = auth
        self.journalctl = journalctl
        # The daemon runs as this user when given (root otherwise): what
        # root may do regardless of file modes, it then may not.
        self.user = user
        # An inotify watcher charges its work to the writer: off when measuring cost.
        self.record = record
        self.network = Network()
        self.gate = None
        self.net = net
        self.recorder = None
        self.process = None
        self.args = ()
        self.journal_fd = None
        self.stdout = []
        self.stderr = []
        self.output_lock = threading.Lock()
        self.readers = []
        self.mounts = []
        self.started_at = None
        self.auth_at_start = None
        self.nofile = None
        self.follower_left = None  # pid of a follower found alive after the daemon ended

    # --- set-up and tear-down -------------------------------------------
    def __enter__(self):
        require_private_namespace()
        if self.user is not None and rootless():
            raise RuntimeError(f"glowsim: the daemon can run as {self.user} only as root: "
                               "a user namespace of one's own has no second user")
        try:
            self._build()
        except BaseException:
            self.__exit__()
            raise
        return self

    def _build(self):
        self.gate = SocketGate()  # while the host's /sys/fs/cgroup is still visible
        # /run first: the binary is copied there before /tmp is covered,
        # since the build may live below /tmp.
        for target in ("/run", "/tmp", "/sys/class", "/sys/fs/cgroup"):
            mount_tmpfs(target)
            self.mounts.append(target)
            if target == "/run":
                os.makedirs(BIN_DIR)
                shutil.copy2(self.binary, RUN_DIR + "/glowkeeper")
        for device in LEDS.values():
            os.makedirs(f"/sys/class/leds/{device}")
            with open(f"/sys/class/leds/{device}/brightness", "w") as file:
                file.write("0")
        if self.user is not None:
            for device in LEDS.values():
                os.chmod(f"/sys/class/leds/{device}/brightness", 0o666)
            # The stand-in journalctl runs as that user too and writes its pid.
            with open(FOLLOWER_PID_FILE, "w"):
                os.chmod(FOLLOWER_PID_FILE, 0o666)
        os.makedirs(CGROUP_ROOTS[self.layout])
        for service in self.initial_services:
            self.set_service(service, True)
        if self.auth is not None:
            self.write_auth(self.auth)
        os.mkfifo(JOURNAL_FIFO)
        self._open_journal()
        if self.journalctl:
            with open(BIN_DIR + "/journalctl", "w") as file:
                file.write(f"#!/bin/sh\necho $$ > {FOLLOWER_PID_FILE}\nexec /bin/cat {JOURNAL_FIFO}\n")
            os.chmod(BIN_DIR + "/journalctl", 0o755)
        self.set_net(self.initial_net)
        if self.record:
            self.recorder = WriteRecorder()

    def _open_journal(self):
        # Held open for both ends: a write never blocks, and the follower
        # sees the end of its output only when the sandbox closes it.
        self.journal_fd = os.open(JOURNAL_FIFO, os.O_RDWR | os.O_CLOEXEC)

    def __exit__(self, *exc):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.follower_alive():
            os.kill(self.follower_pid(), signal.SIGKILL)
        self._close_output()
        if self.recorder is not None:
            self.recorder.close()
        self.network.close()
        if self.gate is not None:
            self.gate.close()
        if self.journal_fd is not None:
            os.close(self.journal_fd)
            self.journal_fd = None
        for target in reversed(self.mounts):
            subprocess.run(["umount", "-l", target], env={"PATH": SYSTEM_PATH}, check=False)
        self.mounts = []
        return False

    def _close_output(self):
        # A follower that outlived the daemon holds its standard error open,
        # so the readers would never finish: note it, then end it.
        if self.process is not None and self.process.poll() is not None and self.follower_alive():
            self.follower_left = self.follower_pid()
            os.kill(self.follower_left, signal.SIGKILL)
        for reader in self.readers:
            reader.join(timeout=5)
        self.readers = []
        if self.process is not None:
            self.process.stdout.close()
            self.process.stderr.close()

    # --- the daemon -------------------------------------------------------
    def start(self, *args, env=None):
        """Starts the daemon with the given arguments (and extra environment),
        as a session leader so that its process group can be signalled like a
        terminal would."""
        if self.journal_fd is None:
            self._open_journal()
        path = BIN_DIR if not self.journalctl else f"{BIN_DIR}:{SYSTEM_PATH}"
        self.args = args
        self.auth_at_start = os.path.exists(AUTH_FILE)
        if self.user is not None and not self.gate.unavailable:
            # preexec_fn runs after the switch of user, which may not move itself.
            self.gate.unavailable = f"the daemon runs as {self.user}, outside the group"
        self.started_at = time.monotonic()
        self.process = subprocess.Popen(
            [RUN_DIR + "/glowkeeper", *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env={"PATH": path, "LANG": "C", **(env or {})},
            start_new_session=True,
            # Joined before exec: a refusing group must hold the first probe too.
            preexec_fn=self.gate.join if self.user is None and not self.gate.unavailable else None,
            user=self.user,
            group=None if self.user is None else pwd.getpwnam(self.user).pw_gid,
            extra_groups=None if self.user is None else [],
        )
        for stream, lines in ((self.process.stdout, self.stdout), (self.process.stderr, self.stderr)):
            reader = threading.Thread(target=self._collect, args=(stream, lines), daemon=True)
            reader.start()
            self.readers.append(reader)
        if self.nofile is not None:
            self._limit_descriptors()
        return self

    def _collect(self, stream, lines):
        for raw in stream:
            with self.output_lock:
                lines.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))

    def running(self):
        return self.process is not None and self.process.poll() is None

    def signal(self, sig, group=False):
        if group:
            os.killpg(self.process.pid, sig)
        else:
            self.process.send_signal(sig)

    def wait(self, timeout):
        return self.process.wait(timeout=timeout)

    def stop(self, sig=None, timeout=30):
        """Sends a stop signal (SIGTERM unless told) to the daemon alone and
        waits for its end. Returns (exit status, seconds it took)."""
        sent = time.monotonic()
        self.signal(sig or signal.SIGTERM)
        status = self.wait(timeout)
        took = time.monotonic() - sent
        self._close_output()
        return status, took

    def restart(self):
        """Stops the daemon and starts it again with the same arguments; the
        authentication file is looked for only at start-up."""
        result = self.stop() if self.running() else (self.process.returncode, 0.0)
        self.start(*self.args)
        return result

    # --- the world the daemon looks at ------------------------------------
    def set_service(self, name, running):
        unit = f"{CGROUP_ROOTS[self.layout]}/{name}.service"
        if running:
            os.makedirs(unit, exist_ok=True)
        elif os.path.isdir(unit):
            os.rmdir(unit)

    def services(self):
        """The services whose unit folder exists now."""
        return [name for name in SERVICES if os.path.isdir(f"{CGROUP_ROOTS[self.layout]}/{name}.service")]

    def set_layout(self, layout):
        """Moves the service folders to the other control-group layout; the
        root of the old one disappears, as on a real system."""
        if layout not in CGROUP_ROOTS:
            raise ValueError(f"unknown layout {layout}")
        if layout == self.layout:
            return
        up = self.services()
        shutil.rmtree("/sys/fs/cgroup/systemd" if self.layout == "v1" else CGROUP_ROOTS["v2"])
        self.layout = layout
        os.makedirs(CGROUP_ROOTS[layout])
        for name in up:
            self.set_service(name, True)

    def write_auth(self, word):
        # Written beside and renamed, so a pass never reads a half-written word.
        with open(AUTH_FILE + ".new", "w") as file:
            file.write(word + "\n")
        os.rename(AUTH_FILE + ".new", AUTH_FILE)

    def remove_auth(self):
        if os.path.lexists(AUTH_FILE):
            os.remove(AUTH_FILE)

    def auth_word(self):
        """The first line of the authentication file, or None without one."""
        try:
            with open(AUTH_FILE) as file:
                return file.readline().rstrip("\n")
        except OSError:
            return None

    def restart_needed(self):
        """True when a file appeared that the daemon never reads: it looks for
        one only at start-up. (A file there at start-up is read every pass, so
        its removal shows at once.)"""
        return self.running() and not self.auth_at_start and os.path.exists(AUTH_FILE)

    def journal(self, line):
        if self.journal_fd is not None:
            os.write(self.journal_fd, (line + "\n").encode())

    def end_journal(self):
        """Ends the stand-in's output, as if journalctl had exited."""

        def follower_reads():
            pid = self.follower_pid()
            try:
                return pid is not None and any(
                    os.readlink(f"/proc/{pid}/fd/{fd}") == JOURNAL_FIFO for fd in os.listdir(f"/proc/{pid}/fd"))
            except OSError:
                return False

        if self.journal_fd is None:
            return
        # Closed before the follower opens the FIFO, it would wait for a writer.
        self.wait_for(follower_reads, 5)
        os.close(self.journal_fd)
        self.journal_fd = None

    def set_net(self, mode):
        """reachable, refused, drop, noroute; nosocket: every socket of the
        daemon refused, as by a security policy; or nofd: no descriptor left
        for the daemon (the probe's socket, and any brightness file opened
        meanwhile, cannot be had)."""
        self.gate.refuse(mode == "nosocket")  # first: a machine without BPF changes nothing
        if mode not in ("nofd", "nosocket"):
            self.network.set(mode)
        if mode == "nofd":
            self.nofile = True
            if self.running():
                self._limit_descriptors()
        elif self.nofile is not None:
            if self.running():
                _, hard = resource.prlimit(self.process.pid, resource.RLIMIT_NOFILE)
                resource.prlimit(self.process.pid, resource.RLIMIT_NOFILE, (1024, hard))
            self.nofile = None
        self.net = mode

    def _limit_descriptors(self):
        _, hard = resource.prlimit(self.process.pid, resource.RLIMIT_NOFILE)
        resource.prlimit(self.process.pid, resource.RLIMIT_NOFILE, (self.lowest_free_descriptor(), hard))

    def lowest_free_descriptor(self):
        """The lowest descriptor number the daemon leaves free; sampled a few
        times, since a brightness write holds one for a moment."""
        lowest = None
        for _ in range(5):
            try:
                used = {int(fd) for fd in os.listdir(f"/proc/{self.process.pid}/fd")}
            except OSError:
                break
            free = min(set(range(len(used) + 1)) - used)
            lowest = free if lowest is None else min(lowest, free)
            time.sleep(0.01)
        return lowest or 3

    def follower_alive(self):
        """True while the stand-in started by the daemon still runs; checks the
        command line too, since without a pid namespace a pid can be reused."""
        pid = self.follower_pid()
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                return pid_alive(pid) and JOURNAL_FIFO.encode() in file.read()
        except (OSError, TypeError):
            return False

    def follower_pid(self):
        try:
            with open(FOLLOWER_PID_FILE) as file:
                return int(file.read())
        except (OSError, ValueError):
            return None

    # --- what the daemon did ----------------------------------------------
    def writes(self, led=None, since=0.0):
        if self.recorder is None:
            return []
        with self.recorder.lock:
            return [w for w in self.recorder.writes if (led is None or w[1] == led) and w[0] >= since]

    def value(self, led):
        return read_value(led)

    def logs(self, level=None, since=0.0):
        """Log lines of the daemon as (time, level, message)."""
        with self.output_lock:
            lines = list(self.stdout)
        result = []
        for stamp, text in lines:
            match = LOG_LINE.match(text)
            if match and stamp >= since and (level is None or match.group(1) == level):
                result.append((stamp, match.group(1), match.group(2)))
        return result

    def messages(self, level=None, since=0.0):
        return [message for _, _, message in self.logs(level, since)]

    def plain_output(self, stream="stdout"):
        with self.output_lock:
            lines = self.stdout if stream == "stdout" else self.stderr
            return [text for _, text in lines if stream != "stdout" or not LOG_LINE.match(text)]

    def wait_for(self, condition, timeout, step=0.02):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(step)
        return condition()

    def wait_for_log(self, message, timeout, level=None, since=0.0):
        return self.wait_for(lambda: message in self.messages(level, since), timeout)

    def wait_for_write(self, led, value, timeout, since=0.0):
        return self.wait_for(lambda: any(w[2] == value for w in self.writes(led, since)), timeout)


def pid_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().split(") ")[1][0] != "Z"
    except (OSError, IndexError):
        return False
