"""Records every brightness write with its time, and reads what the LEDs show."""

import ctypes
import os
import select
import struct
import threading
import time

LEDS = {
    "led": "KYT:LED1",
    "red": "KYT:RGBLED1.1",
    "green": "KYT:RGBLED1.2",
    "blue": "KYT:RGBLED1.3",
}
RGB = ("red", "green", "blue")
COLOURS = {
    (0, 0, 0): "dark",
    (1, 0, 0): "red",
    (0, 1, 0): "green",
    (0, 0, 1): "blue",
    (1, 1, 0): "yellow",
    (0, 1, 1): "cyan",
    (1, 0, 1): "magenta",
    (1, 1, 1): "white",
}

_libc = ctypes.CDLL(None, use_errno=True)
IN_CLOSE_WRITE = 0x08


def brightness_path(led):
    return f"/sys/class/leds/{LEDS[led]}/brightness"


class WriteRecorder:
    """Records every brightness write as (time, led, value). inotify on the
    tmpfs folders keeps the kernel's order of writes across files and never
    blocks the writer."""

    def __init__(self):
        self.fd = _libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.watches = {}
        for led, device in LEDS.items():
            folder = f"/sys/class/leds/{device}"
            wd = _libc.inotify_add_watch(self.fd, folder.encode(), IN_CLOSE_WRITE)
            if wd >= 0:  # a folder the world removed is simply not watched
                self.watches[wd] = (led, folder + "/brightness")
        self.writes = []
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
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
                name = data[offset + 16: offset + 16 + length].rstrip(b"\0")
                offset += 16 + length
                if wd in self.watches and name == b"brightness":
                    led, path = self.watches[wd]
                    try:
                        with open(path) as file:
                            value = file.read()
                            written = os.fstat(file.fileno()).st_mtime_ns / 1e9
                    except OSError:
                        continue
                    # The file's own time stamp, so that a late wake-up of
                    # this thread on a loaded machine does not move the write.
                    stamp = min(now, written - (time.time() - time.monotonic()))
                    with self.changed:
                        self.writes.append((stamp, led, value))
                        self.changed.notify_all()

    def close(self):
        os.write(self.stop_write, b"x")
        self.thread.join()
        for fd in (self.fd, self.stop_read, self.stop_write):
            os.close(fd)


def read_value(led):
    """The brightness file's content now, or None when it cannot be read."""
    try:
        with open(brightness_path(led)) as file:
            return file.read()
    except OSError:
        return None


def rgb_name(values):
    """Colour name of (red, green, blue) brightness texts."""
    return COLOURS[tuple(1 if value == "1" else 0 for value in values)]


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
