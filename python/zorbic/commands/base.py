"""What every command shares: the `Command` record, the one-line error, argument types."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from dataclasses import dataclass

PROG = "python -m zorbic"
TRUST_PICKLE_HELP = (
    "also read stable-baselines3 .zip models: they are pickles, and reading one runs any code its author put in it,"
    " so pass this only for files you made or trust (convert them once with `export` instead)"
)


@dataclass(frozen=True)
class Command:
    name: str
    help: str
    configure: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


class CommandError(Exception):
    """A failure to report in one line, without a traceback."""


def picture_size(text: str) -> tuple[int, int]:
    width, _, height = text.lower().partition("x")
    try:
        size = (int(width), int(height))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT, such as 800x400") from None
    if min(size) < 16 or max(size) > 8192:
        raise argparse.ArgumentTypeError(f"{text!r}: each side must be from 16 to 8192 pixels")
    return size


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    return value
