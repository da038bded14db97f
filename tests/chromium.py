"""Debian's chromium, headless, driven through its DevTools protocol over a
websocket on the loopback interface: the browser tests' one driver."""

from __future__ import annotations

import base64
import io
import json
import re
import shutil
import subprocess
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from PIL import Image

websocket = pytest.importorskip("websocket", reason="websocket-client (the [test] extra) drives the browser")

CHROMIUM = shutil.which("chromium")
STARTUP_SECONDS = 30.0
CALL_SECONDS = 30.0


class Browser:
    """One headless chromium and one page of it, spoken to in DevTools commands."""

    def __init__(self, process: subprocess.Popen[str], page_socket: Any) -> None:
        self.process, self.socket, self._next_id = process, page_socket, 0

    def call(self, method: str, **params: Any) -> dict[str, Any]:
        self._next_id += 1
        self.socket.send(json.dumps({"id": self._next_id, "method": method, "params": params}))
        deadline = time.monotonic() + CALL_SECONDS
        while time.monotonic() < deadline:
            message = json.loads(self.socket.recv())
            if message.get("id") == self._next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]
        raise TimeoutError(f"{method}: no answer within {CALL_SECONDS} s")

    def evaluate(self, expression: str) -> Any:
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def open(self, path: Path) -> None:
        """A viewer page from a file, once its player is ready."""
        self.navigate(path.resolve().as_uri(), "Boolean(window.zorbicViewer && window.zorbicViewer.ready)")

    def navigate(self, url: str, ready: str) -> None:
        """Load `url` and wait until the expression `ready` holds in it."""
        self.call("Page.navigate", url=url)
        deadline = time.monotonic() + CALL_SECONDS
        while not self.evaluate(ready):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{url} did not come up within {CALL_SECONDS} s")
            time.sleep(0.05)

    def key(self, kind: str, code: str, key: str) -> None:
        """A key event ("keyDown" or "keyUp") as a keyboard would send it."""
        self.call("Input.dispatchKeyEvent", type=kind, key=key, code=code)

    def canvas_picture(self) -> np.ndarray:
        box = self.evaluate(
            "(() => { const r = document.getElementById('pitch').getBoundingClientRect();"
            " return [r.left, r.top, r.width, r.height]; })()"
        )
        shot = self.call(
            "Page.captureScreenshot",
            format="png",
            clip={"x": box[0], "y": box[1], "width": box[2], "height": box[3], "scale": 1},
        )
        return np.asarray(Image.open(io.BytesIO(base64.b64decode(shot["data"]))).convert("RGB"))


def browser_session() -> Iterator[Browser]:
    if CHROMIUM is None:
        pytest.skip("chromium is not installed and scripts/install-chromium could not install it: viewer NOT tested")
    profile = tempfile.mkdtemp(prefix="zorbic-chromium-")
    process = subprocess.Popen(
        [
            CHROMIUM,
            "--headless=new",
            "--no-sandbox",
            "--disable-gpu",
            "--remote-debugging-address=127.0.0.1",
            "--remote-debugging-port=0",
            "--force-device-scale-factor=1",
            "--window-size=1400,900",
            "--hide-scrollbars",
            "--no-first-run",
            f"--user-data-dir={profile}",
            "about:blank",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        port = _devtools_port(process)
        page = _page_socket_url(port)
        socket = websocket.create_connection(page, timeout=CALL_SECONDS, suppress_origin=True)
        try:
            yield Browser(process, socket)
        finally:
            socket.close()
    finally:
        process.kill()
        process.wait(timeout=30)
        if process.stderr is not None:
            process.stderr.close()
        shutil.rmtree(profile, ignore_errors=True)


def _devtools_port(process: subprocess.Popen[str]) -> int:
    """Chromium prints the port it chose on stderr: 'DevTools listening on ws://127.0.0.1:PORT/...'."""
    assert process.stderr is not None
    deadline = time.monotonic() + STARTUP_SECONDS
    seen = []
    while time.monotonic() < deadline:
        line = process.stderr.readline()
        if not line:
            if process.poll() is not None:
                break
            continue
        seen.append(line.strip())
        found = re.search(r"DevTools listening on ws://[^:]+:(\d+)/", line)
        if found:
            return int(found.group(1))
    raise RuntimeError(f"chromium did not open its DevTools port; it said: {seen[-5:]}")


def _page_socket_url(port: int) -> str:
    import urllib.request

    deadline = time.monotonic() + STARTUP_SECONDS
    while time.monotonic() < deadline:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=CALL_SECONDS) as answer:
            pages = [t for t in json.load(answer) if t.get("type") == "page"]
        if pages:
            return pages[0]["webSocketDebuggerUrl"]
        time.sleep(0.1)
    raise RuntimeError("chromium opened no page")
