"""The HTML viewer in a real browser: Debian's chromium, headless, driven
through its DevTools protocol over a websocket on the loopback interface."""

from __future__ import annotations

import re
import time
from pathlib import Path

import numpy as np
import pytest

from chromium import Browser, browser_session
from pictures import disc_center
from zorbic.display.scene import BALL_FILL, BLUE_TEAM, RED_TEAM, build_scene
from zorbic.display.viewer import match_data, viewer_html, write_viewer
from zorbic.engine.stadium import read_stadium
from zorbic.replays.format import load_replay
from zorbic.replays.recording import RecordingVecEnv
from zorbic.replays.resimulate import frames

browser = pytest.fixture(scope="module")(browser_session)


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
