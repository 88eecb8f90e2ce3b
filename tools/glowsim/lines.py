"""Every line the daemon prints, by stream and level; `{}` stands for a value.

Scenario files are checked against it, so that an expectation of a line the
daemon can never print is refused before anything runs; and every played run
checks that the daemon printed no log or stdout line missing here, so the list
cannot silently fall behind the daemon. scripts/docs.py checks it against the
sources both ways, and that the man page explains every line.
"""

import functools
import re

LINES = {
    "log": (
        ("debug", "Debug mode activated"),
        ("error", "Wrong arguments"),
        ("error", 'Usage:\t- argument "d" for debug-messages'),
        ("debug", "Main thread exiting"),
        ("debug", "Internet connection available"),
        ("debug", "No internet connection"),
        ("error", "Error checking internet connection: Could not create socket"),
        ("debug", "Service check failed: {}"),
        ("debug", "Service check: all services are running"),
        ("debug", "Update status: {}"),
        ("debug", "Authentication check changed {} -> {}"),
        ("error", "Authentication check: unknown state"),
        ("debug", "Blinking {} times with interval {}ms"),
        ("debug", "Blinking indefinitely"),
        ("error", "Error opening file: {}"),
        ("error", "Could not start blink thread: {}"),
        ("error", "Invalid color: {}"),
        ("warning", "Failed to notify the service manager, ignoring: {}"),
    ),
    "stdout": (
        (None, "[Monitor] Updatestatus: {}"),
        (None, "\t- no arguments for normal start"),  # the second line of the usage
    ),
    "stderr": (
        (None, "Error reading file {}"),
        (None, "Authentication Error, undefined state"),
        (None, "Failed to start journalctl"),
        (None, "{}journalctl: not found"),  # its shell, when there is no journalctl
    ),
}
NOT_FROM_DAEMON = ("{}journalctl: not found",)


def can_meet(stream, level, pattern):
    """Whether some line of the stream (at that level) can match the pattern,
    whose `*` stands for any text; None matches any line."""
    return any(level in (None, lvl) and (pattern is None or _overlap(template, pattern))
               for lvl, template in LINES[stream])


def known(stream, level, message):
    return any(level in (None, lvl) and wildcard(template, "{}").fullmatch(message) for lvl, template in LINES[stream])


@functools.lru_cache(maxsize=None)
def wildcard(text, hole="*"):
    """The text as a regular expression in which each hole stands for any text."""
    return re.compile(".*".join(re.escape(part) for part in text.split(hole)), re.S)


def _overlap(template, pattern):
    """Whether a text exists that both match: the template's holes and the
    pattern's stars each stand for any text."""
    a = [c if c != "\0" else None for c in template.replace("{}", "\0")]
    b = [c if c != "*" else None for c in pattern]

    @functools.lru_cache(maxsize=None)
    def meet(i, j):
        if i == len(a) or j == len(b):
            return all(c is None for c in a[i:] + b[j:])
        if a[i] is None:
            return meet(i + 1, j) or meet(i, j + 1)
        if b[j] is None:
            return meet(i, j + 1) or meet(i + 1, j)
        return a[i] == b[j] and meet(i + 1, j + 1)

    return meet(0, 0)
