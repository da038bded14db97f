"""The tick schedule: absolute deadlines on a monotonic clock.

Tick n is due at start + n / rate. Sleeping a fixed 1 / rate after each tick
would add every tick's own run time and every late wake-up to the schedule,
so the match would drift slower than real time; against absolute deadlines a
late tick is followed by an early one and the mean rate stays exact.
"""

from __future__ import annotations

import time
from collections.abc import Callable

# A clock more than this far behind (the machine was suspended, the process
# stopped) starts its schedule again instead of rushing through the backlog.
MAX_BEHIND_SECONDS = 0.25


class TickClock:
    """When the next tick is due, at `rate` ticks a second."""

    def __init__(self, rate: float, clock: Callable[[], float] = time.monotonic) -> None:
        if not rate > 0:
            raise ValueError(f"rate must be positive, got {rate}")
        self.rate, self.clock = float(rate), clock
        self.restart()

    def restart(self) -> None:
        """Due now, and every 1 / rate seconds from now (after a pause, say)."""
        self.start, self.count = self.clock(), 0

    def wait(self) -> float:
        """Seconds until the next tick is due (0 when it is due or late)."""
        late = self.clock() - (self.start + self.count / self.rate)
        if late > MAX_BEHIND_SECONDS:
            self.restart()
            return 0.0
        return max(0.0, -late)

    def done(self) -> None:
        """The due tick ran."""
        self.count += 1
