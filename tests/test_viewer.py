"""The HTML viewer in a real browser: Debian's chromium, headless, driven
through its DevTools protocol over a websocket on the loopback interface."""

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

from pictures import disc_center
from zorbic.display.scene import BALL_FILL, BLUE_TEAM, RED_TEAM, build_scene
from zorbic.display.viewer import match_data, viewer_html, write_viewer
from zorbic.engine.stadium import read_stadium
from zorbic.replays.format import load_replay
from zorbic.replays.recording import RecordingVecEnv
from zorbic.replays.resimulate import frames

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
        self.call("Page.navigate", url=path.resolve().as_uri())
        deadline = time.monotonic() + CALL_SECONDS
        while not self.evaluate("Boolean(window.zorbicViewer && window.zorbicViewer.ready)"):
            if time.monotonic() > deadline:
                raise TimeoutError(f"the viewer in {path} did not come up within {CALL_SECONDS} s")
            time.sleep(0.05)

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


@pytest.fixture(scope="module")
def browser() -> Iterator[Browser]:
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


def _recorded_match(tmp_path: Path) -> Path:
    env = RecordingVecEnv(1, 3, 3)
    rng = np.random.default_rng(5)
    for _ in range(120):
        env.physics_step(rng.integers(-1, 2, size=(1, 6, 3)))
    return env.save(tmp_path / "match.zrp")


def _separated_step(replay_frames: list, radius: float) -> int:
    """A step at which no two bodies are close, so that each is seen whole."""
    for frame in replay_frames[40:]:
        bodies = np.vstack([frame.ball_pos[None], frame.player_pos])
        gaps = np.linalg.norm(bodies[:, None] - bodies[None], axis=-1) + np.eye(len(bodies)) * 1e9
        if gaps.min() > 3.0 * radius:
            return frame.index
    raise AssertionError("no step of the match has its bodies apart")


@pytest.mark.external
@pytest.mark.timeout(180)
def test_the_browser_draws_every_body_where_the_recording_puts_it(browser: Browser, tmp_path: Path) -> None:
    replay = load_replay(_recorded_match(tmp_path))
    page = write_viewer(replay, tmp_path / "match.html", 900, 450)
    played = list(frames(replay))
    scene = build_scene(read_stadium(replay.stadium), 900, 450)
    step = _separated_step(played, scene.player_radius)

    browser.open(page)
    assert browser.evaluate(f"window.zorbicViewer.seek({step})") == step
    picture = browser.canvas_picture()
    assert picture.shape == (450, 900, 3)

    frame = played[step]
    ball = scene.view.to_pixels(frame.ball_pos)
    players = scene.view.to_pixels(frame.player_pos)
    reach = scene.player_radius * scene.view.scale + 2
    assert np.abs(disc_center(picture, ball, BALL_FILL, reach) - ball).max() <= 2.0
    for slot, expected in enumerate(players):
        color = RED_TEAM if slot < replay.n_red else BLUE_TEAM
        assert np.abs(disc_center(picture, expected, color, reach) - expected).max() <= 2.0, f"player {slot}"


@pytest.mark.external
@pytest.mark.timeout(180)
def test_the_controls_move_through_the_match(browser: Browser, tmp_path: Path) -> None:
    replay = load_replay(_recorded_match(tmp_path))
    browser.open(write_viewer(replay, tmp_path / "match.html", 640, 320))
    browser.evaluate("window.zorbicViewer.seek(10)")
    for key, expected in [("ArrowRight", 11), ("ArrowLeft", 10), ("End", replay.n_steps), ("Home", 0)]:
        browser.call("Input.dispatchKeyEvent", type="keyDown", key=key, code=key)
        browser.call("Input.dispatchKeyEvent", type="keyUp", key=key, code=key)
        assert browser.evaluate("window.zorbicViewer.step") == expected, key
    assert browser.evaluate("document.getElementById('slider').max") == str(replay.n_steps)
    assert browser.evaluate("document.getElementById('readout').textContent").startswith("step 0 / 120")
    # Playing at 4x runs through the match and stops at its last step.
    browser.evaluate("document.getElementById('speed').value = '4'; window.zorbicViewer.play()")
    deadline = time.monotonic() + 60
    while browser.evaluate("window.zorbicViewer.step") < replay.n_steps:
        assert time.monotonic() < deadline, "playback did not reach the end"
        time.sleep(0.1)


def test_the_page_is_self_contained(tmp_path: Path) -> None:
    replay = load_replay(_recorded_match(tmp_path))
    page = viewer_html(replay)
    assert not re.search(r"""(src|href)\s*=\s*["'](https?:)?//""", page)
    assert "<script src" not in page and "<link" not in page
    assert "default-src 'none'" in page
    # The embedded match cannot end its script element early.
    data = match_data(replay, 960, 480)
    assert len(data["ball"]) == 2 * (replay.n_steps + 1)
    assert "</" not in page.split('id="match">')[1].split("</script>")[0]
