"""Limits on what a stadium or a replay may hold, checked before any work.

Building a stadium grows with the square of its disc count and every tick
tests every pair of discs, so a small file that lists a huge number of
bodies could hold the engine for hours. Each limit can be raised through
an environment variable (docs/guides/limits.md lists them); the variables are
read at every check, so a process that sets one sees it at once, and
worker processes inherit it.
"""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass

# The stadium's lists of bodies and places; discs have their own, smaller
# limit as they are the ones that cost quadratic time.
COUNTED = ("discs", "vertexes", "segments", "planes", "goals", "redSpawnPoints", "blueSpawnPoints")

_VARIABLES = {
    "discs": "ZORBIC_MAX_DISCS",
    "stadium_items": "ZORBIC_MAX_STADIUM_ITEMS",
    "stadium_bytes": "ZORBIC_MAX_STADIUM_BYTES",
    "replay_bytes": "ZORBIC_MAX_REPLAY_BYTES",
    "replay_events": "ZORBIC_MAX_REPLAY_EVENTS",
}


@dataclass(frozen=True)
class Limits:
    """The limits in force.

    Args:
        discs: discs a stadium may list.
        stadium_items: entries each other list of a stadium may hold
            (vertexes, segments, planes, goals, spawn points).
        stadium_bytes: size of a stadium file or text.
        replay_bytes: size of a replay file, and of its unpacked body.
        replay_events: events a replay may hold.
    """

    discs: int = 1024
    stadium_items: int = 16384
    stadium_bytes: int = 16 * 2**20
    replay_bytes: int = 2**30
    replay_events: int = 100_000


def current() -> Limits:
    """The default limits, with those that the environment raises or lowers."""
    given = {}
    for field, variable in _VARIABLES.items():
        text = os.environ.get(variable)
        if text is None:
            continue
        try:
            value = int(text)
        except ValueError:
            value = 0
        if value < 1:
            raise ValueError(f"{variable} must be a positive whole number, not {text[:40]!r}")
        given[field] = value
    return Limits(**given)


class TooLarge(ValueError):
    """A stadium or replay beyond a limit in force."""


_TOKEN = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"|[\[\]{},:]')


def _key(token: str) -> str:
    try:
        return json.loads(token)
    except ValueError:
        return token[1:-1]


def _limit_of(key: str, limits: Limits) -> int:
    return limits.discs if key == "discs" else limits.stadium_items


def count_bodies(text: str, limits: Limits | None = None) -> dict[str, int]:
    """The number of entries of each counted list of the stadium's root
    object, found without building anything; with `limits`, TooLarge as soon
    as a list passes its limit.

    The scan follows the text's brackets and strings only, in one pass with
    no recursion, so it takes any text, nested however deep; for text that
    is not JSON its counts are an upper bound of what a reader could find.
    """
    counts = dict.fromkeys(COUNTED, 0)
    depth = 0
    pending = key = listed = None
    commas = start = 0
    filled = False
    for found in _TOKEN.finditer(text):
        token = found.group()
        mark = token[0]
        if mark == '"':
            if depth == 1:
                pending = token
            elif depth == 2 and listed:
                filled = True
        elif mark == ":":
            if depth == 1 and pending is not None:
                key = _key(pending)
        elif mark in "[{":
            depth += 1
            if depth == 2 and mark == "[" and key in counts:
                listed, commas, start, filled = key, 0, found.end(), False
            elif depth == 3 and listed:
                filled = True
        elif mark in "]}":
            if depth == 2 and listed:
                if commas == 0 and not filled:
                    filled = bool(text[start : found.start()].strip())
                counts[listed] = max(counts[listed], commas + 1 if commas else int(filled))
                listed = None
            depth -= 1
        elif depth == 2 and listed:
            commas += 1
            if limits is not None and commas + 1 > _limit_of(listed, limits):
                raise TooLarge(_too_many(listed, limits))
        elif depth == 1:
            pending = key = None
    if limits is not None:
        for name, number in counts.items():
            if number > _limit_of(name, limits):
                raise TooLarge(_too_many(name, limits))
    return counts


def _too_many(key: str, limits: Limits) -> str:
    field = "discs" if key == "discs" else "stadium_items"
    return (
        f"the stadium lists more than {_limit_of(key, limits)} {key}, the limit"
        f" (raise it with {_VARIABLES[field]}, see docs/guides/limits.md)"
    )


def check_stadium(text: str, limits: Limits | None = None) -> str:
    """`text` if its size and its lists are within the limits; TooLarge otherwise."""
    limits = limits or current()
    if len(text) > limits.stadium_bytes:
        raise TooLarge(
            f"the stadium text is larger than {limits.stadium_bytes} bytes, the limit"
            f" (raise it with {_VARIABLES['stadium_bytes']}, see docs/guides/limits.md)"
        )
    count_bodies(text, limits)
    return text


def variable(field: str) -> str:
    """The environment variable that sets the limit `field` of `Limits`."""
    return _VARIABLES[field]
