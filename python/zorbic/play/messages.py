"""What the page may send, checked strictly: anything else is ignored and counted.

    {"kind": "keys", "up": b, "down": b, "left": b, "right": b, "kick": b}
    {"kind": "pause", "on": b}
    {"kind": "restart"}
    {"kind": "save"}

A message is at most MAX_MESSAGE_BYTES long; a connection may send
MESSAGE_RATE messages a second on average, in bursts of up to MESSAGE_BURST.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from zorbic.play.match import Keys

MAX_MESSAGE_BYTES = 1024
MESSAGE_RATE = 120.0
MESSAGE_BURST = 240.0
_KEYS = ("up", "down", "left", "right", "kick")
_FIELDS = {"keys": {"kind", *_KEYS}, "pause": {"kind", "on"}, "restart": {"kind"}, "save": {"kind"}}


@dataclass(frozen=True)
class Command:
    """A checked message: `kind`, with `keys` for "keys" and `on` for "pause"."""

    kind: str
    keys: Keys | None = None
    on: bool = False


def parse(text: str) -> Command | None:
    """The command in a message, or None when the message is not one."""
    if len(text) > MAX_MESSAGE_BYTES:
        return None
    try:
        record: Any = json.loads(text)
    except (ValueError, RecursionError):
        return None
    if not isinstance(record, dict) or record.get("kind") not in _FIELDS:
        return None
    kind = record["kind"]
    if set(record) != _FIELDS[kind] or any(type(record[k]) is not bool for k in record if k != "kind"):
        return None
    if kind == "keys":
        return Command(kind, keys=Keys(**{k: record[k] for k in _KEYS}))
    return Command(kind, on=record.get("on", False))


class RateLimit:
    """A token bucket: `allow(now)` is False for a message beyond the rate."""

    def __init__(self, rate: float = MESSAGE_RATE, burst: float = MESSAGE_BURST) -> None:
        self.rate, self.burst = rate, burst
        self.tokens = burst
        self.last: float | None = None

    def allow(self, now: float) -> bool:
        if self.last is not None:
            self.tokens = min(self.burst, self.tokens + (now - self.last) * self.rate)
        self.last = now
        if self.tokens < 1.0:
            return False
        self.tokens -= 1.0
        return True
