"""What every command shares: the `Command` record, the one-line error, argument types."""

from __future__ import annotations

import argparse
import unicodedata
from collections.abc import Callable
from dataclasses import dataclass

from zorbic.common.checks import integer

PROG = "python -m zorbic"
TRUST_PICKLE_HELP = (
    "also read stable-baselines3 .zip models: they are pickles, and reading one runs any code its author put in it,"
    " so pass this only for files you made or trust (convert them once with `export` instead)"
)


@dataclass(frozen=True)
class Command:
    """A sub-command: its name and help, how it sets up its arguments and how it runs."""

    name: str
    help: str
    configure: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


class CommandError(Exception):
    """A failure to report in one line, without a traceback."""


def picture_size(text: str) -> tuple[int, int]:
    """An argument type for WIDTHxHEIGHT picture sizes, 16 to 8192 pixels a side."""
    width, _, height = text.lower().partition("x")
    try:
        size = (int(width), int(height))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT, such as 800x400") from None
    if min(size) < 16 or max(size) > 8192:
        raise argparse.ArgumentTypeError(f"{text!r}: each side must be from 16 to 8192 pixels")
    return size


def whole_number(low: int, high: int) -> Callable[[str], int]:
    """An argument type for whole numbers from `low` to `high`, refusing
    others with a message that gives the bounds."""

    def parse(text: str) -> int:
        shown = text if len(text) <= 40 else f"{text[:37]}..."
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{shown!r} is not a whole number") from None
        try:
            return integer("the value", value, low=low, high=high)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{shown} is out of range: it must be from {low} to {high}") from None

    parse.__name__ = f"whole number from {low} to {high}"
    return parse


SEED = whole_number(0, 2**64 - 1)

# Control characters could move the cursor, clear the screen or retitle the
# window, and line and paragraph separators or direction overrides could
# fake a line of output: such characters are shown as escapes.
_UNPRINTABLE = {"Cc", "Cf", "Zl", "Zp", "Cs", "Co", "Cn"}


def printable(text: object) -> str:
    """`text` (or its str) fit for a terminal: characters that are not
    plain printable text are written as Python escapes."""
    shown = str(text)
    if shown.isprintable():
        return shown
    return "".join(
        repr(character)[1:-1] if unicodedata.category(character) in _UNPRINTABLE else character for character in shown
    )
