"""The words that change the simulated world, shared by the live view's keys,
scenario files and the soak. Each change is one line of text:

    net reachable|refused|drop|noroute|nosocket|nofd
    service tiviad|pelmad|mender-client up|down
    layout v2|v1
    auth OFF|Registration_possible|LongPress_started|LongPress_failed|LongPress_success|<other word>|none
    journal download|install|failure|idle|end
    journal replay FILE [from TEXT]   a real client's journal (replay.py), from its first line holding TEXT
    restart
"""

import shlex

from . import replay
from .sandbox import SERVICES

NET_MODES = ("reachable", "refused", "drop", "noroute", "nosocket", "nofd")
AUTH_WORDS = ("OFF", "Registration_possible", "LongPress_started", "LongPress_failed", "LongPress_success")
# What the update client logs for each state; the journal line around the
# transition text is free-form.
TRANSITIONS = {
    "download": "update-check [Sync] -> update-fetch [Download_Enter]",
    "install": "mender-update-control [none] -> update-install [ArtifactInstall]",
    "failure": "update-error [ArtifactFailure] -> cleanup [Error]",
    "idle": "update-check [Sync] -> check-wait [Idle]",
}
GRAMMAR = {
    "net": "net " + "|".join(NET_MODES),
    "service": "service tiviad|pelmad|mender-client up|down",
    "layout": "layout v2|v1",
    "auth": "auth WORD|none",
    "journal": "journal download|install|failure|idle|end|replay FILE [from TEXT]",
    "restart": "restart",
}


def journal_line(text):
    return f"Dec 06 10:00:00 gateway mender[812]: level=info msg=\"State transition: {text}\""


def parse(line):
    """Checks one change and returns its words; raises ValueError saying what
    was expected."""
    words = shlex.split(line)
    if not words or words[0] not in GRAMMAR:
        raise ValueError(f"expected a change ({', '.join(GRAMMAR)}), got {line.strip()!r}")
    verb, rest = words[0], words[1:]
    valid = {
        "net": len(rest) == 1 and rest[0] in NET_MODES,
        "service": len(rest) == 2 and rest[0] in SERVICES and rest[1] in ("up", "down"),
        "layout": rest in (["v2"], ["v1"]),
        "auth": len(rest) == 1 and rest[0] != "",
        "journal": len(rest) == 1 and (rest[0] in TRANSITIONS or rest[0] == "end") or replayable(rest),
        "restart": not rest,
    }[verb]
    if not valid:
        raise ValueError(f"expected '{GRAMMAR[verb]}', got {line.strip()!r}")
    return words


def replayable(rest):
    """A replay of a file that has lines to play; a file that has none says why."""
    if rest[:1] != ["replay"] or len(rest) not in (2, 4) or rest[2:3] not in ([], ["from"]):
        return False
    try:
        replay.read(rest[1], rest[3] if len(rest) == 4 else None)
    except OSError as error:
        raise ValueError(f"journal replay: {error.strerror}: {rest[1]}") from None
    return True


def apply(sandbox, line):
    """Makes the change in the sandbox's world; a restart returns the old
    daemon's (exit status, seconds its stop took)."""
    verb, *rest = parse(line)
    if verb == "net":
        sandbox.set_net(rest[0])
    elif verb == "service":
        sandbox.set_service(rest[0], rest[1] == "up")
    elif verb == "layout":
        sandbox.set_layout(rest[0])
    elif verb == "auth":
        if rest[0] == "none":
            sandbox.remove_auth()
        else:
            sandbox.write_auth(rest[0])
    elif verb == "journal":
        if rest[0] == "end":
            sandbox.end_journal()
        elif rest[0] == "replay":
            replay.play(sandbox, replay.read(rest[1], rest[3] if len(rest) == 4 else None))
        else:
            sandbox.journal(journal_line(TRANSITIONS[rest[0]]))
    elif verb == "restart":
        return sandbox.restart()
