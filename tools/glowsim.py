#!/usr/bin/env python3
"""glowsim: runs the unchanged glowkeeper binary on simulated hardware.

Everything happens in a private mount and network namespace: tmpfs over
/sys/class (the four LED folders), /sys/fs/cgroup (service folders), /tmp
(the authentication file) and /run (the sandbox's own files), a stand-in
`journalctl` first on PATH whose output is fed line by line, and the probe's
network conditions built on the namespace's loopback device. Every
brightness write is recorded with its time (inotify keeps the kernel's order
across files). The end-to-end tests and the `run` command share this code.
"""

import argparse
import ctypes
import os
import re
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

LEDS = {
    "led": "KYT:LED1",
    "red": "KYT:RGBLED1.1",
    "green": "KYT:RGBLED1.2",
    "blue": "KYT:RGBLED1.3",
}
SERVICES = ("tiviad", "pelmad", "mender-client")
CGROUP_ROOTS = {"v2": "/sys/fs/cgroup/system.slice", "v1": "/sys/fs/cgroup/systemd/system.slice"}
AUTH_FILE = "/tmp/Auth_status.txt"
RUN_DIR = "/run/glowsim"
BIN_DIR = RUN_DIR + "/bin"
JOURNAL_FIFO = RUN_DIR + "/journal"
FOLLOWER_PID_FILE = RUN_DIR + "/journalctl.pid"
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
LOG_LINE = re.compile(r"^\[[^\]]+\] \[glowkeeper\] \[(\w+)\] (.*)$")
NS_MARK = "GLOWSIM_IN_NAMESPACE"

_libc = ctypes.CDLL(None, use_errno=True)
IN_CLOSE_WRITE = 0x08


# Fallback tunnel devices that a new network namespace gets when their
# modules are loaded; they start down and route nothing.
FALLBACK_DEVICES = {"sit0", "tunl0", "ip6tnl0", "gre0", "gretap0", "erspan0", "ip6gre0", "ip_vti0", "ip6_vti0"}


def require_private_namespace():
    """Refuses to touch mounts or the network outside the namespace that
    enter_namespace() made: no test traffic may leave it."""
    names = {name for _, name in socket.if_nameindex()}
    if os.environ.get(NS_MARK) != "1" or "lo" not in names or names - {"lo"} - FALLBACK_DEVICES:
        raise RuntimeError(f"glowsim: not in its private namespace (interfaces {sorted(names)}); refusing")


def enter_namespace(unavailable_status=1):
    """Re-executes this program in a private mount and network namespace,
    then refuses to go on if any network interface but loopback is visible.
    Where such namespaces cannot be made (no root, no unshare), says so and
    exits with `unavailable_status`."""
    if os.environ.get(NS_MARK) != "1":
        probe = ["unshare", "-m", "-n", "--fork", "true"]
        if shutil.which("unshare") is None or subprocess.run(probe, stderr=subprocess.DEVNULL).returncode != 0:
            print("glowsim: private mount and network namespaces are not available here "
                  "(needs root and unshare from util-linux)", file=sys.stderr)
            sys.exit(unavailable_status)
        env = dict(os.environ, **{NS_MARK: "1"})
        os.execvpe("unshare", ["unshare", "-m", "-n", "--fork", "--", sys.executable, *sys.argv], env)
    try:
        require_private_namespace()
    except RuntimeError as error:
        sys.exit(str(error))
    _run(["mount", "--make-rprivate", "/"])


def _run(command):
    subprocess.run(command, check=True, env={"PATH": SYSTEM_PATH})


def _mount_tmpfs(target):
    os.makedirs(target, exist_ok=True)
    _run(["mount", "-t", "tmpfs", "-o", "mode=0755", "glowsim", target])


class Network:
    """The probe's conditions on the namespace's loopback device."""

    MODES = ("reachable", "refused", "drop", "noroute")

    def __init__(self):
        self.mode = None
        self.sockets = []
        self.stop_accepting = threading.Event()
        self.acceptor = None

    def set(self, mode):
        if mode not in self.MODES:
            raise ValueError(f"unknown network mode {mode}")
        require_private_namespace()
        self.close()
        if mode == "noroute":
            # Taking lo down alone keeps the catch-all local route on some
            # kernels; without it, connect fails at once.
            subprocess.run(["ip", "route", "del", "local", "0.0.0.0/0", "dev", "lo"],
                           env={"PATH": SYSTEM_PATH}, stderr=subprocess.DEVNULL)
            _run(["ip", "link", "set", "lo", "down"])
        else:
            _run(["ip", "link", "set", "lo", "up"])
            # Every IPv4 address is local: the probe's resolver lands here.
            _run(["ip", "route", "replace", "local", "0.0.0.0/0", "dev", "lo"])
        if mode in ("reachable", "drop"):
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("0.0.0.0", 53))
            self.sockets.append(listener)
            if mode == "reachable":
                listener.listen(16)
                self.stop_accepting.clear()
                self.acceptor = threading.Thread(target=self._accept, args=(listener,), daemon=True)
                self.acceptor.start()
            else:
                # A full accept queue makes the kernel drop further SYNs.
                listener.listen(0)
                filler = socket.create_connection(("127.0.0.1", 53), timeout=2)
                self.sockets.append(filler)
        self.mode = mode

    def _accept(self, listener):
        listener.settimeout(0.1)
        while not self.stop_accepting.is_set():
            try:
                connection, _ = listener.accept()
                connection.close()
            except (socket.timeout, OSError):
                continue

    def close(self):
        self.stop_accepting.set()
        if self.acceptor is not None:
            self.acceptor.join()
            self.acceptor = None
        for sock in self.sockets:
            sock.close()
        self.sockets = []


class WriteRecorder:
    """Records every brightness write as (time, led, value), in kernel order."""

    def __init__(self):
        self.fd = _libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.watches = {}
        for led, device in LEDS.items():
            folder = f"/sys/class/leds/{device}"
            wd = _libc.inotify_add_watch(self.fd, folder.encode(), IN_CLOSE_WRITE)
            if wd < 0:
                raise OSError(ctypes.get_errno(), "inotify_add_watch")
            self.watches[wd] = (led, folder + "/brightness")
        self.writes = []
        self.lock = threading.Lock()
        self.stop_read, self.stop_write = os.pipe()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            ready, _, _ = select.select([self.fd, self.stop_read], [], [])
            if self.stop_read in ready:
                return
            data = os.read(self.fd, 65536)
            now = time.monotonic()
            offset = 0
            while offset < len(data):
                wd, _mask, _cookie, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16 : offset + 16 + length].rstrip(b"\0")
                offset += 16 + length
                if wd in self.watches and name == b"brightness":
                    led, path = self.watches[wd]
                    with open(path) as file:
                        value = file.read()
                    with self.lock:
                        self.writes.append((now, led, value))

    def close(self):
        os.write(self.stop_write, b"x")
        self.thread.join()
        for fd in (self.fd, self.stop_read, self.stop_write):
            os.close(fd)


class Sandbox:
    """One run of the daemon on simulated hardware. Use as a context manager."""

    def __init__(self, binary, layout="v2", services=SERVICES, net="reachable", auth=None, journalctl=True):
        self.binary = os.path.abspath(binary)
        self.layout = layout
        self.initial_services = tuple(services)
        self.initial_net = net
        self.auth = auth
        self.journalctl = journalctl
        self.network = Network()
        self.recorder = None
        self.process = None
        self.journal_fd = None
        self.stdout = []
        self.stderr = []
        self.output_lock = threading.Lock()
        self.readers = []
        self.mounts = []
        self.started_at = None

    # --- set-up and tear-down -------------------------------------------
    def __enter__(self):
        require_private_namespace()
        # /run first: the binary is copied there before /tmp is covered,
        # since the build may live below /tmp.
        for target in ("/run", "/tmp", "/sys/class", "/sys/fs/cgroup"):
            _mount_tmpfs(target)
            self.mounts.append(target)
            if target == "/run":
                os.makedirs(BIN_DIR)
                shutil.copy2(self.binary, RUN_DIR + "/glowkeeper")
        for device in LEDS.values():
            os.makedirs(f"/sys/class/leds/{device}")
            with open(f"/sys/class/leds/{device}/brightness", "w") as file:
                file.write("0")
        os.makedirs(CGROUP_ROOTS[self.layout])
        for service in self.initial_services:
            self.set_service(service, True)
        if self.auth is not None:
            self.write_auth(self.auth)
        os.mkfifo(JOURNAL_FIFO)
        # Held open for both ends: a write never blocks, and the follower
        # sees the end of its output only when the sandbox closes it.
        self.journal_fd = os.open(JOURNAL_FIFO, os.O_RDWR | os.O_CLOEXEC)
        if self.journalctl:
            with open(BIN_DIR + "/journalctl", "w") as file:
                file.write(f"#!/bin/sh\necho $$ > {FOLLOWER_PID_FILE}\nexec /bin/cat {JOURNAL_FIFO}\n")
            os.chmod(BIN_DIR + "/journalctl", 0o755)
        self.network.set(self.initial_net)
        self.recorder = WriteRecorder()
        return self

    def __exit__(self, *exc):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.follower_alive():
            os.kill(self.follower_pid(), signal.SIGKILL)
        for reader in self.readers:
            reader.join(timeout=5)
        if self.process is not None:
            self.process.stdout.close()
            self.process.stderr.close()
        self.recorder.close()
        self.network.close()
        if self.journal_fd is not None:
            os.close(self.journal_fd)
        for target in reversed(self.mounts):
            subprocess.run(["umount", "-l", target], env={"PATH": SYSTEM_PATH})
        return False

    # --- the daemon -------------------------------------------------------
    def start(self, *args, env=None):
        """Starts the daemon with the given arguments (and extra environment),
        as a session leader so that its process group can be signalled like a
        terminal would."""
        path = BIN_DIR if not self.journalctl else f"{BIN_DIR}:{SYSTEM_PATH}"
        env = {"PATH": path, "LANG": "C", **(env or {})}

        self.started_at = time.monotonic()
        self.process = subprocess.Popen(
            [RUN_DIR + "/glowkeeper", *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            start_new_session=True,
        )
        for stream, lines in ((self.process.stdout, self.stdout), (self.process.stderr, self.stderr)):
            reader = threading.Thread(target=self._collect, args=(stream, lines), daemon=True)
            reader.start()
            self.readers.append(reader)
        return self

    def _collect(self, stream, lines):
        for raw in stream:
            with self.output_lock:
                lines.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))

    def signal(self, sig, group=False):
        if group:
            os.killpg(self.process.pid, sig)
        else:
            self.process.send_signal(sig)

    def wait(self, timeout):
        return self.process.wait(timeout=timeout)

    def set_nofile(self, limit):
        """Changes the running daemon's soft descriptor limit."""
        _, hard = resource.prlimit(self.process.pid, resource.RLIMIT_NOFILE)
        resource.prlimit(self.process.pid, resource.RLIMIT_NOFILE, (limit, hard))

    def lowest_free_descriptor(self):
        """The lowest descriptor number the daemon leaves free; sampled a few
        times, since a brightness write holds one for a moment."""
        lowest = None
        for _ in range(5):
            used = {int(fd) for fd in os.listdir(f"/proc/{self.process.pid}/fd")}
            free = min(set(range(len(used) + 1)) - used)
            lowest = free if lowest is None else min(lowest, free)
            time.sleep(0.01)
        return lowest

    # --- the world the daemon looks at ------------------------------------
    def set_service(self, name, running):
        unit = f"{CGROUP_ROOTS[self.layout]}/{name}.service"
        if running:
            os.makedirs(unit, exist_ok=True)
        elif os.path.isdir(unit):
            os.rmdir(unit)

    def write_auth(self, word):
        # Written beside and renamed, so a pass never reads a half-written word.
        with open(AUTH_FILE + ".new", "w") as file:
            file.write(word + "\n")
        os.rename(AUTH_FILE + ".new", AUTH_FILE)

    def remove_auth(self):
        os.remove(AUTH_FILE)

    def journal(self, line):
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

        # Closed before the follower opens the FIFO, it would wait for a writer.
        self.wait_for(follower_reads, 5)
        os.close(self.journal_fd)
        self.journal_fd = None

    def set_net(self, mode):
        self.network.set(mode)

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
        with self.recorder.lock:
            return [w for w in self.recorder.writes if (led is None or w[1] == led) and w[0] >= since]

    def value(self, led):
        with open(f"/sys/class/leds/{LEDS[led]}/brightness") as file:
            return file.read()

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


def bursts(writes, value="1", gap=0.7):
    """Groups the times of writes of `value` into flash bursts: writes closer
    than `gap` seconds belong to one burst. Returns the count of each burst."""
    counts = []
    last = None
    for stamp, _, written in writes:
        if written != value:
            continue
        if last is None or stamp - last > gap:
            counts.append(0)
        counts[-1] += 1
        last = stamp
    return counts


def describe(sandbox):
    """One line of what the two LEDs show now."""
    names = {
        (0, 0, 0): "dark",
        (1, 0, 0): "red",
        (0, 1, 0): "green",
        (0, 0, 1): "blue",
        (1, 1, 0): "yellow",
        (0, 1, 1): "cyan",
        (1, 0, 1): "magenta",
        (1, 1, 1): "white",
    }

    def bit(led):
        return 1 if sandbox.value(led) == "1" else 0

    rgb = (bit("red"), bit("green"), bit("blue"))
    return f"LED1 {'on ' if bit('led') else 'off'}   RGB {names[rgb]}"


def run(args):
    """Runs the daemon in debug mode on simulated hardware and shows the LEDs
    as they change, until Ctrl-C."""
    with Sandbox(args.binary, layout=args.layout, net=args.net, auth=args.auth) as sandbox:
        sandbox.start("d")
        stop = threading.Event()
        signal.signal(signal.SIGINT, lambda *_: stop.set())
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        shown_out = shown_err = seen_writes = 0
        last = None
        print("glowsim: daemon running; Ctrl-C stops it", flush=True)
        while not stop.is_set() and sandbox.process.poll() is None:
            time.sleep(0.05)
            with sandbox.output_lock:
                out, err = sandbox.stdout[shown_out:], sandbox.stderr[shown_err:]
            shown_out += len(out)
            shown_err += len(err)
            for _, text in out:
                print(f"  {text}", flush=True)
            for _, text in err:
                print(f"  (stderr) {text}", flush=True)
            writes = sandbox.writes()
            if len(writes) != seen_writes:
                seen_writes = len(writes)
                now = describe(sandbox)
                if now != last:
                    print(f"{time.monotonic() - sandbox.started_at:8.3f}s  {now}", flush=True)
                    last = now
        if sandbox.process.poll() is None:
            print("glowsim: stopping the daemon (SIGTERM)", flush=True)
            sandbox.signal(signal.SIGTERM)
            status = sandbox.wait(timeout=30)
        else:
            status = sandbox.process.returncode
        for reader in sandbox.readers:
            reader.join(timeout=5)
        for _, text in sandbox.stdout[shown_out:]:
            print(f"  {text}", flush=True)
        print(f"glowsim: exit status {status}; {describe(sandbox)}", flush=True)
        return 0 if status == 0 else 1


def bench(args):
    """Measures what the daemon costs while it runs: CPU time, resident
    memory, threads and brightness writes over a fixed time, healthy state."""
    with Sandbox(args.binary, layout=args.layout, net=args.net, auth=args.auth) as sandbox:
        sandbox.start()
        time.sleep(args.seconds)
        pid = sandbox.process.pid
        with open(f"/proc/{pid}/stat") as file:
            fields = file.read().split(") ")[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        cpu = (int(fields[11]) + int(fields[12])) / ticks
        status = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status") if ":" in line)
        writes = len(sandbox.writes())
        sandbox.signal(signal.SIGTERM)
        exit_status = sandbox.wait(timeout=30)
        print(f"glowsim bench: {args.seconds:.0f} s, net {args.net}, auth {args.auth}")
        print(f"  CPU time        {cpu:.3f} s ({100 * cpu / args.seconds:.3f} % of one core)")
        print(f"  resident memory {status['VmRSS'].strip()}, peak {status['VmHWM'].strip()}")
        print(f"  threads         {status['Threads'].strip()}")
        print(f"  LED writes      {writes} ({writes / args.seconds:.1f} per s)")
        print(f"  exit status     {exit_status}")
        return 0 if exit_status == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["run", "bench"])
    parser.add_argument("--binary", default="build/glowkeeper", help="the glowkeeper binary")
    parser.add_argument("--layout", choices=sorted(CGROUP_ROOTS), default="v2", help="control-group layout")
    parser.add_argument("--net", choices=Network.MODES, default="reachable", help="probe's network condition")
    parser.add_argument("--auth", help="word in the authentication file at start (none: no file)")
    parser.add_argument("--seconds", type=float, default=30, help="bench: how long to measure")
    args = parser.parse_args()
    if not os.access(args.binary, os.X_OK):
        sys.exit(f"glowsim: no binary at {args.binary}; build it first")
    args.binary = os.path.abspath(args.binary)
    enter_namespace()
    sys.exit(run(args) if args.command == "run" else bench(args))


if __name__ == "__main__":
    main()
