"""A play server on a thread of its own, for tests that talk to it."""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

from zorbic.display.viewer import drawing
from zorbic.engine.stadium import classic_text
from zorbic.parts.opponents import make_opponent
from zorbic.play.match import Driver, LiveMatch
from zorbic.play.server import PlayServer


def idle_match(n_red: int = 1, n_blue: int = 1, person: int = 0) -> LiveMatch:
    """A match on the classic stadium whose other players stand still."""

    def lineup(field) -> list[Driver]:
        import numpy as np

        others = np.array([s for s in range(field.n_players) if s != person], np.int64)
        return [Driver(make_opponent("idle"), others, 8, "idle")] if len(others) else []

    return LiveMatch(classic_text(), n_red, n_blue, person, lineup)


@contextmanager
def running(
    match: LiveMatch, record: Path, before: Callable[[PlayServer], None] = lambda _: None
) -> Iterator[PlayServer]:
    """`match` served on 127.0.0.1 until the block ends, then stopped (the recording written)."""
    look = drawing(match.stadium, match.field.teams.tolist(), 640, 320)
    started = threading.Event()
    holder: dict = {}

    async def main() -> None:
        try:
            server = PlayServer(match, look, record)
            before(server)
            await server.start(0)
            holder["server"] = server
        except BaseException as error:
            holder["error"] = error
            return
        finally:
            started.set()
        holder["path"] = await server.run()

    thread = threading.Thread(target=asyncio.run, args=(main(),), daemon=True)
    thread.start()
    assert started.wait(30), "the play server did not start"
    if "error" in holder:
        raise holder["error"]
    server: PlayServer = holder["server"]
    try:
        yield server
    finally:
        server.loop.call_soon_threadsafe(server.stop)
        thread.join(30)
        assert not thread.is_alive(), "the play server did not stop"


def call(server: PlayServer, function: Callable[[], object]) -> object:
    """Run `function` on the server's event loop (where the match lives) and return its result."""
    future = asyncio.run_coroutine_threadsafe(_call(function), server.loop)
    return future.result(30)


async def _call(function: Callable[[], object]) -> object:
    return function()
