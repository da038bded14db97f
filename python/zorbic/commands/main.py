"""`python -m zorbic`: sub-commands for recording, showing and evaluating matches.

Each sub-command is a module of this package holding a `Command`, put in by
`register`. A command returns its exit status; a failure it expects (a bad
file, a replay that does not verify) is one line on stderr and status 1, a
usage error argparse's 2.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from collections.abc import Sequence

from zorbic.commands import evaluate, export, ladder, play, record, replay
from zorbic.commands.base import PROG, Command, CommandError, printable

COMMANDS: dict[str, Command] = {}


def register(command: Command) -> Command:
    if command.name in COMMANDS:
        raise ValueError(f"a sub-command {command.name!r} is registered already")
    COMMANDS[command.name] = command
    return command


for _module in (record, replay, evaluate, export, play, ladder):
    register(_module.COMMAND)


def parser() -> argparse.ArgumentParser:
    """The command line with every registered sub-command."""
    top = argparse.ArgumentParser(prog=PROG, description="Record, check, show and evaluate Zorbic matches.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS.values():
        sub = commands.add_parser(command.name, help=command.help, description=command.help)
        command.configure(sub)
        sub.set_defaults(run=command.run)
    return top


class _Terminated(BaseException):
    """SIGTERM, raised where the program is so that its clean-ups run."""


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated


def main(argv: Sequence[str] | None = None) -> int:
    from zorbic.replays.format import ReplayError

    args = parser().parse_args(argv)
    # Signal handlers can only be set from the main thread.
    in_main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if in_main else None
    try:
        return args.run(args)
    except (CommandError, ReplayError, OSError, ValueError) as error:
        print(f"{PROG} {args.command}: error: {printable(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except _Terminated:
        print(f"{PROG} {args.command}: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    finally:
        if in_main:
            signal.signal(signal.SIGTERM, previous)
