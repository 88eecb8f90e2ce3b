"""Command line of glowsim: one verb per job, like git."""

import argparse
import os
import shlex
import sys

from . import namespace, player, scenario, world
from .network import Unavailable
from .sandbox import CGROUP_ROOTS


def auth_word(word):
    """The world's words: `none` is no file; an empty word is none of them."""
    try:
        world.parse(shlex.join(["auth", word]))
    except ValueError:
        raise argparse.ArgumentTypeError("expected a word or none (no file), got an empty one") from None
    return None if word == "none" else word


def world_options(parser):
    parser.add_argument("--binary", default="build/glowkeeper", help="the glowkeeper binary")
    parser.add_argument("--layout", choices=sorted(CGROUP_ROOTS), default="v2", help="control-group layout at start")
    parser.add_argument("--net", choices=world.NET_MODES, default="reachable", help="probe's network at start")
    parser.add_argument("--auth", type=auth_word, metavar="WORD|none",
                        help="word in the authentication file at start (default none: no file)")


def main():
    parser = argparse.ArgumentParser(prog="glowsim", description=__package__ and sys.modules[__package__].__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    verbs = parser.add_subparsers(dest="verb", required=True)
    run = verbs.add_parser("run", help="live simulator in the terminal")
    world_options(run)
    run.add_argument("--scenario", help="play this scenario file instead, without the live view")
    run.add_argument("--check", action="store_true", help="only check these options (and the scenario file)")
    play = verbs.add_parser("play", help="play scenario files; exit status 1 when an expectation fails",
                            description=scenario.__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    play.add_argument("--binary", default="build/glowkeeper", help="the glowkeeper binary")
    play.add_argument("--record", help="save the first run's timeline as JSON, for draw")
    play.add_argument("files", nargs="+", metavar="FILE", help="scenario file")
    draw = verbs.add_parser("draw", help="render a recorded timeline as an SVG picture")
    draw.add_argument("timeline", help="JSON from play --record")
    draw.add_argument("svg", help="picture to write")
    soak = verbs.add_parser("soak", help="the daemon in a churning world, its resources sampled")
    soak.add_argument("--binary", default="build/glowkeeper", help="the glowkeeper binary")
    soak.add_argument("--seconds", type=float, default=60, help="how long to run (default 60)")
    soak.add_argument("--seed", type=int, help="seed of the random changes (default: a random one)")
    soak.add_argument("--rate", type=float, default=4, help="changes a second on average (default 4)")
    args, unknown = parser.parse_known_args()
    if unknown:  # the verb's own usage, not the list of verbs
        verbs.choices[args.verb].error(f"unrecognized arguments: {' '.join(unknown)}")
    if args.verb == "draw":
        from . import draw
        sys.exit(draw.main(args.timeline, args.svg))
    check_only = args.verb == "run" and args.check
    if args.verb == "run" and args.scenario:
        args.verb, args.files, args.record = "play", [args.scenario], None
    if args.verb == "play":
        try:  # a malformed file is refused before anything runs
            for path in args.files:
                scenario.parse(path)
        except (OSError, ValueError) as error:
            sys.exit(f"glowsim: {error}")
    if check_only:
        return
    if not os.access(args.binary, os.X_OK):
        sys.exit(f"glowsim: no binary at {args.binary}; build it first")
    args.binary = os.path.abspath(args.binary)
    try:
        if args.verb == "run":
            from . import live
            live.check_terminal()
            namespace.enter()
            sys.exit(live.main(args))
        if args.verb == "soak":
            from . import soak
            namespace.enter()
            sys.exit(soak.main(args))
        namespace.enter()
        sys.exit(0 if all([player.play(path, args.binary, args.record) for path in args.files]) else 1)
    except Unavailable as error:  # a world state this machine cannot make
        print(f"glowsim: {error}", file=sys.stderr)
        sys.exit(namespace.UNAVAILABLE)

if __name__ == "__main__":
    main()
