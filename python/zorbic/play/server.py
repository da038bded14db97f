"""The local server of the play page: one page, one WebSocket, the tick loop.

    page keys -> WebSocket -> LiveMatch.press; tick loop (60 a second) ->
    LiveMatch.tick -> newest state -> WebSocket -> page draws it

Only the page the server handed out may connect: the address carries a
random token, and a WebSocket handshake is refused unless it carries the
token and comes from the server's own origin (another site open in the same
browser could otherwise drive the match). The newest page to connect takes
over from an older one. A tick takes well under a millisecond, so it runs
on the event loop; only writing the recording, which grows with the match,
runs in a thread.
"""

from __future__ import annotations

import asyncio
import contextlib
import ipaddress
import json
import secrets
import signal
import time
from importlib import resources
from pathlib import Path
from typing import Any

from aiohttp import WSMsgType, web

from zorbic.display.viewer import drawing_script
from zorbic.engine.match_flow import TICKS_PER_SECOND
from zorbic.play.clock import TickClock
from zorbic.play.match import Keys, LiveMatch
from zorbic.play.messages import MAX_MESSAGE_BYTES, RateLimit, parse
from zorbic.replays.format import save_replay

LOOPBACK = ("127.0.0.1", "localhost", "[::1]")
# Closing the page's connection, then the server (which waits for its
# handlers up to SHUTDOWN_SECONDS before it drops them), must fit in what is
# left of the second a Ctrl-C allows.
CLOSE_SECONDS = 0.15
SHUTDOWN_SECONDS = 0.2


def page_html() -> str:
    assets = resources.files("zorbic.play")
    template = assets.joinpath("page.html").read_text(encoding="utf-8")
    script = drawing_script() + assets.joinpath("page.js").read_text(encoding="utf-8")
    return template.replace("__SCRIPT__", script)


def _wildcard(host: str) -> bool:
    with contextlib.suppress(ValueError):
        return ipaddress.ip_address(host).is_unspecified
    return False


class PlayServer:
    """Serves the page for `match` and runs it; the recording goes to `record`."""

    def __init__(self, match: LiveMatch, look: dict[str, Any], record: Path, host: str = "127.0.0.1") -> None:
        self.match, self.look, self.record, self.host = match, look, Path(record), host
        self.token = secrets.token_urlsafe(24)
        self.port = 0
        self.paused = False
        self.ignored = 0  # malformed messages
        self.dropped = 0  # messages beyond the rate
        self.tick_times: list[float] = []  # filled only when `keep_tick_times` is set
        self.keep_tick_times = False
        self._socket: web.WebSocketResponse | None = None
        self._fresh = asyncio.Event()
        self._stop = asyncio.Event()
        self._unpaused = asyncio.Event()
        self._unpaused.set()
        self._saving = asyncio.Lock()
        self._runner: web.AppRunner | None = None

    # ------------------------------------------------------------ access

    @property
    def url(self) -> str:
        shown = "127.0.0.1" if _wildcard(self.host) or self.host in LOOPBACK else self.host
        return f"http://{_bracketed(shown)}:{self.port}/?token={self.token}"

    def _hosts(self, request: web.Request) -> set[str]:
        hosts = {f"{name}:{self.port}" for name in LOOPBACK} | {f"{_bracketed(self.host)}:{self.port}"}
        if _wildcard(self.host):
            # Any address of this machine, but no name: a name could be an
            # attacker's, resolved to this machine (DNS rebinding).
            with contextlib.suppress(ValueError):
                name, _, _ = request.host.rpartition(":")
                ipaddress.ip_address(name.strip("[]"))
                hosts.add(request.host)
        return hosts

    def _admitted(self, request: web.Request, websocket: bool) -> bool:
        hosts = self._hosts(request)
        if request.host not in hosts:
            return False
        if not secrets.compare_digest(request.query.get("token", ""), self.token):
            return False
        if websocket:
            origin = request.headers.get("Origin", "")
            return origin in {f"http://{host}" for host in hosts}
        return True

    # ------------------------------------------------------------ routes

    async def _page(self, request: web.Request) -> web.StreamResponse:
        if not self._admitted(request, websocket=False):
            return web.Response(status=403, text="this page needs the address the play server printed\n")
        return web.Response(text=page_html(), content_type="text/html", headers={"Cache-Control": "no-store"})

    async def _connect(self, request: web.Request) -> web.StreamResponse:
        if not self._admitted(request, websocket=True):
            return web.Response(status=403, text="refused: wrong origin or token\n")
        socket = web.WebSocketResponse(max_msg_size=MAX_MESSAGE_BYTES, heartbeat=None)
        await socket.prepare(request)
        if self._socket is not None:
            await self._socket.close(message=b"another page took over")
        self._socket = socket
        sender = asyncio.create_task(self._send_states(socket))
        limit = RateLimit()
        try:
            await socket.send_str(json.dumps({"kind": "hello", "look": self.look, "person": self.match.person}))
            async for message in socket:
                if not limit.allow(time.monotonic()):
                    self.dropped += 1
                elif message.type != WSMsgType.TEXT:
                    self.ignored += 1
                else:
                    await self._obey(message.data)
        finally:
            sender.cancel()
            if self._socket is socket:
                self._socket = None
                self.match.press(Keys())  # nobody holds a key any more
        return socket

    async def _obey(self, text: str) -> None:
        command = parse(text)
        if command is None:
            self.ignored += 1
        elif command.kind == "keys" and command.keys is not None:
            self.match.press(command.keys)
        elif command.kind == "pause":
            self.pause(command.on)
        elif command.kind == "restart":
            await self.save()
            self.match.restart()
            self._publish()
        elif command.kind == "save":
            await self.save()

    async def _send_states(self, socket: web.WebSocketResponse) -> None:
        # Only the newest state is worth sending: a page that reads slowly
        # skips states instead of falling ever further behind.
        self._fresh.set()
        while not socket.closed:
            await self._fresh.wait()
            self._fresh.clear()
            with contextlib.suppress(ConnectionError):
                await socket.send_str(json.dumps(self.state()))

    def state(self) -> dict[str, Any]:
        return {**self.match.view(), "paused": self.paused, "ignored": self.ignored, "dropped": self.dropped}

    def _publish(self) -> None:
        self._fresh.set()

    # ------------------------------------------------------------ the match

    def pause(self, on: bool) -> None:
        self.paused = on
        if on:
            self._unpaused.clear()
        else:
            self._unpaused.set()
        self._publish()

    async def save(self) -> Path:
        """Write the recording so far (atomically, in a thread: it grows with the match)."""
        async with self._saving:
            replay = self.match.replay()
            path = await asyncio.to_thread(save_replay, replay, self.record)
        if self._socket is not None:
            with contextlib.suppress(ConnectionError):
                await self._socket.send_str(json.dumps({"kind": "saved", "path": str(path), "ticks": replay.n_steps}))
        return path

    async def _tick_loop(self) -> None:
        clock = TickClock(TICKS_PER_SECOND)
        while True:
            if self.paused:
                await self._unpaused.wait()
                clock.restart()
            await asyncio.sleep(clock.wait())
            if self.paused:
                continue
            if self.keep_tick_times:
                self.tick_times.append(time.monotonic())
            self.match.tick()
            clock.done()
            self._publish()

    # ------------------------------------------------------------ lifetime

    async def start(self, port: int = 0) -> str:
        """Listen on `port` (0: any free one); returns the page's address."""
        self.loop = asyncio.get_running_loop()
        app = web.Application(client_max_size=MAX_MESSAGE_BYTES)
        app.router.add_get("/", self._page)
        app.router.add_get("/socket", self._connect)
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False, shutdown_timeout=SHUTDOWN_SECONDS)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.host, port)
        await site.start()
        self.port = self._runner.addresses[0][1]
        return self.url

    def stop(self) -> None:
        self._stop.set()

    async def run(self) -> Path:
        """Tick until `stop()`; then write the recording and close. Returns the recording's path."""
        ticking = asyncio.create_task(self._tick_loop())
        try:
            await self._stop.wait()
        finally:
            ticking.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await ticking
            path = save_replay(self.match.replay(), self.record)
            if self._socket is not None:
                with contextlib.suppress(Exception):
                    await asyncio.wait_for(self._socket.close(message=b"the server stopped"), CLOSE_SECONDS)
            if self._runner is not None:
                with contextlib.suppress(Exception):
                    await asyncio.wait_for(self._runner.cleanup(), 2 * SHUTDOWN_SECONDS)
        return path


def _bracketed(host: str) -> str:
    return f"[{host}]" if ":" in host and not host.startswith("[") else host


async def serve(server: PlayServer, port: int, announce: Any) -> Path:
    """Start `server`, call `announce(url)`, and run until SIGINT or SIGTERM."""
    loop = asyncio.get_running_loop()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, server.stop)
    try:
        announce(await server.start(port))
        return await server.run()
    finally:
        for number in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(number)
