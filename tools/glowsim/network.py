"""The probe's network conditions, built on the namespace's loopback device."""

import socket
import subprocess
import threading

from .namespace import SYSTEM_PATH, require_private_namespace, run


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
