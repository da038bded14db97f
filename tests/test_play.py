"""The play server without a browser: the live match and its recording, who may
connect, what a message may be, and stopping on SIGINT."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("aiohttp", reason="the play server needs aiohttp (the [play] extra)")
websocket = pytest.importorskip("websocket", reason="websocket-client (the [test] extra) talks to the server")

from play_helpers import call, idle_match, running  # noqa: E402
from zorbic.engine.stadium import classic_text  # noqa: E402
from zorbic.parts.opponents import ChaserOpponent  # noqa: E402
from zorbic.play.clock import MAX_BEHIND_SECONDS, TickClock  # noqa: E402
from zorbic.play.match import Driver, Keys, LiveMatch  # noqa: E402
from zorbic.play.messages import MAX_MESSAGE_BYTES, RateLimit, parse  # noqa: E402
from zorbic.replays.format import load_replay  # noqa: E402
from zorbic.replays.resimulate import verify  # noqa: E402


class CountingChaser(ChaserOpponent):
    """A chaser that notes the tick counter at every decision."""

    def __init__(self) -> None:
        self.seen: list[int] = []

    def act(self, state, field, slots):
        self.seen.append(int(state.ticks[0]))
        return super().act(state, field, slots)


def test_drivers_decide_every_tick_skip_ticks_and_the_recording_verifies(tmp_path: Path) -> None:
    chaser = CountingChaser()
    match = LiveMatch(classic_text(), 2, 2, 0, lambda field: [Driver(chaser, np.array([1, 2, 3]), 8, "chaser")])
    for tick in range(200):
        match.press(Keys(right=tick % 50 < 30, up=tick % 70 < 20, kick=tick % 9 == 0))
        match.tick()
    # Decisions at ticks 0, 8, 16, ... (the state they see is the one before the tick).
    assert chaser.seen[:5] == [0, 8, 16, 24, 32]
    match.restart()
    for _ in range(30):
        match.tick()
    replay = match.replay()
    assert (replay.tick_skip, replay.n_steps) == (1, 230)
    verdict = verify(load_replay(match.save(tmp_path / "m.zrp")))
    assert verdict.ok and verdict.steps_checked == 230, verdict.message


def test_after_a_goal_every_driver_decides_on_the_next_tick() -> None:
    chaser = CountingChaser()
    match = LiveMatch(classic_text(), 1, 1, 0, lambda field: [Driver(chaser, np.array([1]), 8, "chaser")])
    for _ in range(3):
        match.tick()
    match.place((355.0, 0.0), (6.0, 0.0), match.state.player_pos[0], match.state.player_vel[0])
    scored = [match.tick() for _ in range(5)]
    goal_tick = scored.index(4) + 4  # the tick counter after the goal's tick
    assert goal_tick in chaser.seen
    assert match.view()["blue"] == 0 and match.view()["red"] == 1 and match.view()["countdown"] > 0


@pytest.mark.parametrize(
    ("keys", "direction"),
    [(Keys(right=True), (1, 0)), (Keys(left=True), (-1, 0)), (Keys(up=True), (0, 1)), (Keys(down=True), (0, -1))],
)
def test_a_held_direction_moves_the_persons_player_that_way(keys: Keys, direction: tuple[int, int]) -> None:
    match = idle_match()
    start = match.state.player_pos[0, 0].copy()
    match.press(keys)
    for _ in range(30):
        match.tick()
    moved = match.state.player_pos[0, 0] - start
    assert np.sign(np.round(moved, 6)).tolist() == list(direction)


def test_a_kick_tapped_between_two_ticks_still_kicks() -> None:
    match = idle_match()
    players = match.state.player_pos[0].copy()
    players[0] = (-20.0, 0.0)
    match.place((0.0, 0.0), (0.0, 0.0), players, np.zeros_like(players))
    match.press(Keys(kick=True))
    match.press(Keys())
    match.tick()
    assert np.hypot(*match.state.ball_vel[0]) > 0


def test_the_clock_keeps_absolute_deadlines() -> None:
    now = [0.0]
    clock = TickClock(60, lambda: now[0])
    clock.done()
    now[0] = 0.005  # woke early
    assert clock.wait() == pytest.approx(1 / 60 - 0.005)
    now[0] = 0.030  # woke late: the next tick is due at once, the one after on schedule
    assert clock.wait() == 0.0
    clock.done()
    assert clock.wait() == pytest.approx(2 / 60 - 0.030)
    now[0] = 1.0 + MAX_BEHIND_SECONDS
    assert clock.wait() == 0.0 and clock.start == now[0]


@pytest.mark.parametrize(
    "text",
    [
        "",
        "garbage",
        "[]",
        "null",
        '{"kind": "keys"}',
        '{"kind": "keys", "up": 1, "down": false, "left": false, "right": false, "kick": false}',
        '{"kind": "keys", "up": true, "down": false, "left": false, "right": false, "kick": false, "x": 1}',
        '{"kind": "pause"}',
        '{"kind": "restart", "now": true}',
        '{"kind": "launch"}',
        "[" * 100000,
        '{"kind": "save", "pad": "' + "x" * MAX_MESSAGE_BYTES + '"}',
    ],
)
def test_malformed_messages_are_not_commands(text: str) -> None:
    assert parse(text) is None


def test_the_rate_limit_allows_a_burst_then_the_rate() -> None:
    limit = RateLimit(rate=10, burst=5)
    assert [limit.allow(0.0) for _ in range(6)] == [True] * 5 + [False]
    assert limit.allow(0.1) and not limit.allow(0.1)


def _address(server) -> tuple[str, str]:
    return f"127.0.0.1:{server.port}", server.token


def _connect(host: str, token: str, origin: str | None):
    options = {"origin": origin} if origin is not None else {"suppress_origin": True}
    socket = websocket.WebSocket()
    try:
        socket.connect(f"ws://{host}/socket?token={token}", timeout=10, **options)
    except Exception:
        socket.shutdown()  # a refused handshake leaves the OS socket open
        raise
    return socket


@pytest.mark.parametrize(
    ("origin", "token"),
    [
        ("http://evil.example", None),
        ("http://127.0.0.1:1", None),  # another port is another site
        (None, None),
        ("SELF", ""),
        ("SELF", "wrong"),
    ],
)
def test_a_foreign_origin_or_a_missing_token_is_refused(tmp_path: Path, origin: str | None, token: str | None) -> None:
    with running(idle_match(), tmp_path / "m.zrp") as server:
        host, real = _address(server)
        with pytest.raises(websocket.WebSocketBadStatusException) as refused:
            _connect(host, real if token is None else token, f"http://{host}" if origin == "SELF" else origin)
        assert refused.value.status_code == 403
        _connect(host, real, f"http://{host}").close()


def test_the_page_needs_the_token(tmp_path: Path) -> None:
    import urllib.error
    import urllib.request

    with running(idle_match(), tmp_path / "m.zrp") as server:
        host, token = _address(server)
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(f"http://{host}/?token=nope", timeout=10)
        assert refused.value.code == 403
        refused.value.close()
        with urllib.request.urlopen(server.url, timeout=10) as page:
            html = page.read().decode()
        assert "zorbicPainter" in html and "connect-src 'self'" in html


def _states(socket, count: int) -> dict:
    state: dict = {}
    while count:
        message = json.loads(socket.recv())
        if message["kind"] == "state":
            state, count = message, count - 1
    return state


def test_garbage_messages_leave_the_match_running(tmp_path: Path) -> None:
    with running(idle_match(), tmp_path / "m.zrp") as server:
        host, token = _address(server)
        socket = _connect(host, token, f"http://{host}")
        assert json.loads(socket.recv())["kind"] == "hello"
        for junk in ["garbage", "{", '{"kind": 3}', '{"kind": "keys", "up": "yes"}']:
            socket.send(junk)
        socket.send_binary(b"\x00\xff")
        before = _states(socket, 1)["tick"]
        socket.send(
            json.dumps({"kind": "keys", "up": False, "down": False, "left": False, "right": True, "kick": False})
        )
        after = _states(socket, 20)
        assert after["tick"] > before and after["ignored"] == 5
        assert call(server, lambda: server.match.keys) == Keys(right=True)
        # An oversized message closes only that connection; the match goes on.
        socket.send("x" * (2 * MAX_MESSAGE_BYTES))
        with pytest.raises((websocket.WebSocketConnectionClosedException, ConnectionError)):
            for _ in range(200):
                socket.recv()
        socket.shutdown()  # close() leaves the OS socket of a dropped connection open
        again = _connect(host, token, f"http://{host}")
        assert json.loads(again.recv())["kind"] == "hello"
        assert _states(again, 2)["tick"] > after["tick"]
        again.close()


def test_pause_restart_and_save_over_the_socket(tmp_path: Path) -> None:
    record = tmp_path / "m.zrp"
    with running(idle_match(), record) as server:
        host, token = _address(server)
        socket = _connect(host, token, f"http://{host}")
        _states(socket, 5)
        socket.send(json.dumps({"kind": "pause", "on": True}))
        while not json.loads(socket.recv()).get("paused"):
            pass
        paused_at = call(server, lambda: server.match.recorded_ticks)
        time.sleep(0.2)
        assert call(server, lambda: server.match.recorded_ticks) == paused_at
        socket.send(json.dumps({"kind": "pause", "on": False}))
        socket.send(json.dumps({"kind": "restart"}))
        saved = None
        while saved is None:
            message = json.loads(socket.recv())
            saved = message if message["kind"] == "saved" else None
        assert load_replay(record).n_steps == saved["ticks"] >= paused_at
        # The match must play on after the save before it closes: on a busy
        # machine the server could otherwise stop first.
        _states(socket, 3)
        socket.close()
    replay = load_replay(record)
    assert replay.n_steps > saved["ticks"] and any(type(e).__name__ == "Reset" for e in replay.events)
    assert verify(replay).ok


def test_the_command_stops_on_sigint_within_a_second_with_a_complete_recording(tmp_path: Path) -> None:
    record = tmp_path / "played.zrp"
    process = subprocess.Popen(
        [sys.executable, "-m", "zorbic", "play", "--no-browser", "--n-red", "2", "--n-blue", "2"]
        + ["--against", "chaser", "--record", str(record)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "BROWSER": "true"},
    )
    try:
        assert process.stdout is not None
        line = process.stdout.readline()
        assert re.match(r"play at http://127\.0\.0\.1:\d+/\?token=[\w-]{20,}$", line.strip()), line
        time.sleep(1.0)
        process.send_signal(signal.SIGINT)
        started = time.monotonic()
        out, err = process.communicate(timeout=30)
        stopped = time.monotonic() - started
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0, err
    assert stopped < 1.0
    replay = load_replay(record)
    assert f"recorded {replay.n_steps} ticks" in out and replay.n_steps > 30
    assert verify(replay).ok


def test_an_agent_path_that_is_no_file_is_one_line_and_status_1(tmp_path: Path) -> None:
    done = subprocess.run(
        [sys.executable, "-m", "zorbic", "play", "--no-browser", "--against", str(tmp_path / "none.agent")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 1 and "no agent file" in done.stderr and len(done.stderr.splitlines()) == 1


def test_a_pickled_model_handed_to_play_is_refused_before_it_is_opened(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    from test_agent_security import hostile_model
    from zorbic.commands import main as cli

    model, marker, _ = hostile_model(tmp_path)
    assert cli.main(["play", "--no-browser", "--against", str(model), "--record", str(tmp_path / "m.zrp")]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "python -m zorbic export" in err[0]
    assert not marker.exists() and not (tmp_path / "m.zrp").exists()


def test_agent_files_drive_the_others_in_their_own_matches(tmp_path: Path) -> None:
    from agent_helpers import random_agent
    from zorbic.agents import save_agent
    from zorbic.play.lineup import choose, drivers

    path = save_agent(random_agent(n_red=2, n_blue=2, tick_skip=4), tmp_path / "two.agent")
    agent = choose(str(path), trust_pickle=False)
    match = LiveMatch(classic_text(), 2, 2, 2, lambda field: drivers(agent, "idle", field, 2, "blue"))
    (mate,), (other,) = ([d for d in match.drivers if d.label == name] for name in ("idle", "two.agent"))
    assert mate.slots.tolist() == [3] and other.slots.tolist() == [0, 1] and other.decide_every == 4
    for _ in range(40):
        match.tick()
    assert verify(match.replay()).ok
    # Trained for 2 v 2, it does not play 1 v 1.
    with pytest.raises(ValueError, match="trained for 2 v 2"):
        LiveMatch(classic_text(), 1, 1, 0, lambda field: drivers(agent, agent, field, 0, "red"))
