"""The probe's network conditions, built on the namespace's loopback device,
and a control group where the daemon's sockets can be refused."""

import contextlib
import ctypes
import os
import platform
import socket
import struct
import subprocess
import threading
import time

from .namespace import SYSTEM_PATH, require_private_namespace, run

_libc = ctypes.CDLL(None, use_errno=True)


class Network:
    """Reachable, refused, silent drop or no route for the probe's connect."""

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
                           env={"PATH": SYSTEM_PATH}, stderr=subprocess.DEVNULL, check=False)
            run(["ip", "link", "set", "lo", "down"])
        else:
            run(["ip", "link", "set", "lo", "up"])
            # Every IPv4 address is local: the probe's resolver lands here.
            run(["ip", "route", "replace", "local", "0.0.0.0/0", "dev", "lo"])
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
                self.sockets.append(socket.create_connection(("127.0.0.1", 53), timeout=2))
        self.mode = mode

    def _accept(self, listener):
        listener.settimeout(0.1)
        while not self.stop_accepting.is_set():
            try:
                connection, _ = listener.accept()
                connection.close()
            except OSError:
                continue

    def close(self):
        self.stop_accepting.set()
        if self.acceptor is not None:
            self.acceptor.join()
            self.acceptor = None
        for sock in self.sockets:
            sock.close()
        self.sockets = []


class Unavailable(RuntimeError):
    """A world state this machine cannot make, with the reason."""


# bpf(2): the two-instruction program "r0 = 0; exit" refuses every socket.
BPF_SYSCALL = {"x86_64": 321, "aarch64": 280, "armv7l": 386, "riscv64": 280}
BPF_PROG_LOAD, BPF_PROG_ATTACH, BPF_PROG_DETACH = 5, 8, 9
BPF_PROG_TYPE_CGROUP_SOCK, BPF_CGROUP_INET_SOCK_CREATE = 9, 2
REFUSE_ALL = struct.pack("<BBhiBBhi", 0xB7, 0, 0, 0, 0x95, 0, 0, 0)
GROUP_PREFIX = "glowsim-"


class SocketGate:
    """A control group of the host's cgroup2 tree for the daemon, where a BPF
    program can refuse every IPv4 and IPv6 socket, as a security policy does:
    the probe gets no socket while files still open. Made before the sandbox
    covers /sys/fs/cgroup; kept by descriptor."""

    def __init__(self):
        self.parent_fd = self.group_fd = self.prog_fd = None
        self.name = f"{GROUP_PREFIX}{os.getpid()}"
        self.unavailable = None
        try:
            parent = own_group_folder()
            sweep_stale_groups(parent)
            os.mkdir(f"{parent}/{self.name}")
            self.parent_fd = os.open(parent, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            self.group_fd = os.open(f"{parent}/{self.name}", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except (OSError, Unavailable) as error:
            self.unavailable = f"no control group of its own for the daemon ({error})"

    def join(self):
        """Moves the calling process in; run in the daemon's child before exec."""
        if self.group_fd is not None:
            fd = os.open("cgroup.procs", os.O_WRONLY, dir_fd=self.group_fd)
            try:
                os.write(fd, b"0")
            finally:
                os.close(fd)

    def refuse(self, on):
        if not on and self.prog_fd is None:
            return
        if self.unavailable:
            raise Unavailable(f"net nosocket needs BPF on control groups (root): {self.unavailable}")
        if on and self.prog_fd is None:
            insns = ctypes.create_string_buffer(REFUSE_ALL)
            licence = ctypes.create_string_buffer(b"GPL")
            attr = ctypes.create_string_buffer(128)
            struct.pack_into("<IIQQ", attr, 0, BPF_PROG_TYPE_CGROUP_SOCK, 2, ctypes.addressof(insns),
                             ctypes.addressof(licence))
            struct.pack_into("<I", attr, 68, BPF_CGROUP_INET_SOCK_CREATE)  # expected_attach_type
            prog_fd = bpf(BPF_PROG_LOAD, attr)
            try:
                bpf(BPF_PROG_ATTACH, attach_attr(self.group_fd, prog_fd))
            except Unavailable:
                os.close(prog_fd)
                raise
            self.prog_fd = prog_fd
        elif not on and self.prog_fd is not None:
            bpf(BPF_PROG_DETACH, attach_attr(self.group_fd, self.prog_fd))
            os.close(self.prog_fd)
            self.prog_fd = None

    def close(self):
        """Detaches the program and removes the group once its processes are gone."""
        if self.group_fd is None:
            return
        if self.prog_fd is not None:
            self.refuse(False)
        os.close(self.group_fd)
        for _ in range(50):  # a killed process leaves its group a moment later
            try:
                os.rmdir(self.name, dir_fd=self.parent_fd)
                break
            except OSError:
                time.sleep(0.02)
        os.close(self.parent_fd)
        self.group_fd = self.parent_fd = None


def attach_attr(group_fd, prog_fd):
    attr = ctypes.create_string_buffer(128)
    struct.pack_into("<III", attr, 0, group_fd, prog_fd, BPF_CGROUP_INET_SOCK_CREATE)
    return attr


def bpf(command, attr):
    number = BPF_SYSCALL.get(platform.machine())
    if number is None:
        raise Unavailable(f"net nosocket: no bpf system call number known for {platform.machine()}")
    result = _libc.syscall(ctypes.c_long(number), ctypes.c_int(command), attr, ctypes.c_uint(len(attr)))
    if result < 0:
        error = ctypes.get_errno()
        raise Unavailable(f"net nosocket needs BPF on control groups (root): bpf: {os.strerror(error)}")
    return result


def own_group_folder():
    """This process's folder in the cgroup2 tree as mounted here."""
    with open("/proc/self/mountinfo") as file:
        mounts = [line.split() for line in file]
    found = [(m[4], m[3]) for m in mounts if m[m.index("-") + 1] == "cgroup2"]
    if not found:
        raise Unavailable("no cgroup2 file system mounted")
    with open("/proc/self/cgroup") as file:
        own = next((line.strip()[3:] for line in file if line.startswith("0::")), None)
    point, root = found[0]
    if own is None or not own.startswith(root):
        raise Unavailable("this process's cgroup2 group is not below the mounted tree")
    return point + own[len(root.rstrip("/")):].rstrip("/")


def sweep_stale_groups(parent):
    """Removes groups left by earlier runs that were killed."""
    for name in os.listdir(parent):
        pid = name[len(GROUP_PREFIX):]
        if name.startswith(GROUP_PREFIX) and pid.isdigit() and not os.path.exists(f"/proc/{pid}"):
            with contextlib.suppress(OSError):
                os.rmdir(f"{parent}/{name}")
