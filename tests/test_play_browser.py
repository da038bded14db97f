"""The play page in a real browser: keys steer the person's player, a kick
moves the ball, a goal shows in the score, and the recording verifies."""

from __future__ import annotations

import os
import shutil
import time
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("aiohttp", reason="the play server needs aiohttp (the [play] extra)")

from chromium import Browser, browser_session  # noqa: E402
from play_helpers import call, idle_match, running  # noqa: E402
from zorbic.play.server import PlayServer  # noqa: E402
from zorbic.replays.format import load_replay  # noqa: E402
from zorbic.replays.resimulate import verify  # noqa: E402

browser = pytest.fixture(scope="module")(browser_session)
READY = "Boolean(window.zorbicPlay && window.zorbicPlay.ready)"
DOCS = Path(__file__).resolve().parent.parent / "docs"
WAIT_SECONDS = 20.0


@pytest.fixture
def served(tmp_path: Path) -> Iterator[PlayServer]:
    with running(idle_match(1, 1), tmp_path / "played.zrp") as server:
        yield server


def _seen(browser: Browser) -> dict:
    return browser.evaluate("window.zorbicPlay.state")


def _until(browser: Browser, test, what: str) -> dict:
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        state = _seen(browser)
        if test(state):
            return state
        time.sleep(0.05)
    raise AssertionError(f"{what}: not seen within {WAIT_SECONDS} s; last state {state}")


def _press(browser: Browser, code: str, key: str, hold: float) -> None:
    browser.key("keyDown", code, key)
    time.sleep(hold)
    browser.key("keyUp", code, key)


@pytest.mark.external
@pytest.mark.timeout(180)
@pytest.mark.parametrize(
    ("code", "key", "direction"),
    [
        ("ArrowRight", "ArrowRight", (1, 0)),
        ("KeyA", "a", (-1, 0)),
        ("ArrowUp", "ArrowUp", (0, 1)),
        ("KeyS", "s", (0, -1)),
    ],
)
def test_a_direction_key_moves_the_persons_player_that_way(
    browser: Browser, served: PlayServer, code: str, key: str, direction: tuple[int, int]
) -> None:
    browser.navigate(served.url, READY)
    start = np.array(_seen(browser)["players"][:2])
    _press(browser, code, key, 0.5)
    tick = _seen(browser)["tick"]
    # The page's state after the key went up (a few ticks of drift at most).
    state = _until(browser, lambda s: s["tick"] > tick + 5, "ticks after the key")
    moved = np.array(state["players"][:2]) - start
    assert np.sign(np.round(moved, 3)).tolist() == list(direction), moved
    assert np.abs(moved).max() > 10.0


@pytest.mark.external
@pytest.mark.timeout(180)
def test_a_kick_moves_the_ball_and_a_goal_shows_in_the_score(
    browser: Browser, served: PlayServer, tmp_path: Path
) -> None:
    browser.navigate(served.url, READY)
    match = served.match
    players = match.state.player_pos[0].copy()
    players[0] = (300.0, 0.0)  # a point from the ball, behind it facing blue's goal at x = +370
    players[1] = (-200.0, 150.0)  # out of the way
    call(served, lambda: match.place((326.0, 0.0), (0.0, 0.0), players, np.zeros_like(players)))
    placed = _until(browser, lambda s: s["players"][0] == 300.0 and s["ball"][0] == 326.0, "the placed bodies")
    _press(browser, "KeyX", "x", 0.2)
    moving = _until(browser, lambda s: s["ball"][0] != placed["ball"][0] or s["red"] == 1, "the kicked ball")
    assert moving["ball"][0] > placed["ball"][0]
    state = _until(browser, lambda s: s["red"] == 1, "the goal")
    assert state["blue"] == 0 and state["countdown"] > 0
    readout = browser.evaluate("document.getElementById('readout').textContent")
    assert "Red 1 : 0 Blue" in readout and "goal" in readout

    shot = browser.call(
        "Page.captureScreenshot", format="png", clip={"x": 0, "y": 0, "width": 740, "height": 390, "scale": 1}
    )
    if os.environ.get("ZORBIC_DOCS_PICTURES"):
        import base64

        (DOCS / "play.png").write_bytes(base64.b64decode(shot["data"]))

    browser.evaluate("document.getElementById('save').click()")
    _until(browser, lambda s: True, "a state")
    deadline = time.monotonic() + WAIT_SECONDS
    while "saved" not in browser.evaluate("document.getElementById('readout').textContent"):
        assert time.monotonic() < deadline, "the page did not say the recording was saved"
        time.sleep(0.05)
    copy = shutil.copy(served.record, tmp_path / "saved.zrp")
    replay = load_replay(copy)
    verdict = verify(replay)
    assert verdict.ok and replay.tick_skip == 1 and replay.n_steps > 0, verdict.message


@pytest.mark.external
@pytest.mark.timeout(180)
def test_pause_holds_the_match_and_restart_starts_a_fresh_one(browser: Browser, served: PlayServer) -> None:
    browser.navigate(served.url, READY)
    _press(browser, "KeyP", "p", 0.05)
    paused = _until(browser, lambda s: s["paused"], "the pause")
    time.sleep(0.3)
    assert _seen(browser)["tick"] == paused["tick"]
    _press(browser, "KeyP", "p", 0.05)
    _until(browser, lambda s: not s["paused"] and s["tick"] > paused["tick"], "play going on")
    browser.evaluate("document.getElementById('restart').click()")
    _until(browser, lambda s: s["tick"] < paused["tick"], "the fresh match")
