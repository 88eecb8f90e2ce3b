"""The live simulator (placeholder: prints LED changes as lines)."""

import signal
import threading
import time

from .recorder import RGB, rgb_name
from .sandbox import Sandbox


def check_terminal():
    pass


def describe(sandbox):
    rgb = rgb_name(sandbox.value(led) for led in RGB)
    return f"LED1 {'on ' if sandbox.value('led') == '1' else 'off'}   RGB {rgb}"


def main(args):
    with Sandbox(args.binary, layout=args.layout, net=args.net, auth=args.auth) as sandbox:
        sandbox.start("d")
        stop = threading.Event()
        signal.signal(signal.SIGINT, lambda *_: stop.set())
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        last = None
        while not stop.is_set() and sandbox.running():
            time.sleep(0.05)
            now = describe(sandbox)
            if now != last:
                print(f"{time.monotonic() - sandbox.started_at:8.3f}s  {now}", flush=True)
                last = now
        status, took = sandbox.stop() if sandbox.running() else (sandbox.process.returncode, 0.0)
        print(f"glowsim: exit status {status} after {took:.2f}s; {describe(sandbox)}", flush=True)
        return 0 if status == 0 else 1
