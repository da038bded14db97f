"""`python -m zorbic`: record, replay, and what the exit status promises."""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

import imageio.v2 as imageio
import pytest

from zorbic.commands import main as cli
from zorbic.replays.format import decode_replay, encode_replay, load_replay
from zorbic.replays.resimulate import verify


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "zorbic", *args], capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def match(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("cli") / "match.zrp"
    done = run("record", "--out", str(path), "--steps", "60", "--n-red", "2", "--n-blue", "1", "--seed", "4")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"recorded 60 steps to {path}"
    return path


def test_record_writes_a_replay_that_verifies(match: Path) -> None:
    done = run("replay", str(match), "--verify")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "verified 60 steps"
    replay = load_replay(match)
    assert (replay.n_red, replay.n_blue, replay.n_steps, replay.tick_skip) == (2, 1, 60, 8)


@pytest.mark.parametrize(
    "options",
    [
        ["--red", "idle", "--blue", "chaser", "--steps", "0"],
        ["--red", "random", "--blue", "random", "--n-blue", "0", "--tick-skip", "1"],
        ["--n-red", "1", "--n-blue", "1", "--red", "chaser", "--blue", "chaser", "--steps", "200"],
    ],
)
def test_every_built_in_policy_records_a_match_that_verifies(tmp_path: Path, options: list[str]) -> None:
    path = tmp_path / "m.zrp"
    assert cli.main(["record", "--out", str(path), *options]) == 0
    assert verify(load_replay(path)).ok


def test_record_plays_on_a_stadium_file(tmp_path: Path) -> None:
    stadium = tmp_path / "tiny.zsm"
    stadium.write_text('{"name": "tiny", "planes": [{"normal": [0, 1], "dist": -100}], "goals": []}')
    path = tmp_path / "m.zrp"
    assert cli.main(["record", "--out", str(path), "--stadium", str(stadium), "--steps", "20"]) == 0
    assert '"tiny"' in load_replay(path).stadium
    assert verify(load_replay(path)).ok


def test_the_same_seed_records_the_same_match(tmp_path: Path) -> None:
    paths = [tmp_path / "a.zrp", tmp_path / "b.zrp", tmp_path / "c.zrp"]
    for path, seed in zip(paths, ["1", "1", "2"]):
        assert cli.main(["record", "--out", str(path), "--red", "random", "--seed", seed, "--steps", "30"]) == 0
    a, b, c = (load_replay(p) for p in paths)
    assert (a.actions == b.actions).all() and not (a.actions == c.actions).all()


def test_replay_writes_a_gif_an_mp4_and_a_viewer(match: Path, tmp_path: Path) -> None:
    gif, mp4, page = tmp_path / "m.gif", tmp_path / "m.mp4", tmp_path / "m.html"
    done = run("replay", str(match), "--gif", str(gif), "--mp4", str(mp4), "--html", str(page), "--size", "320x160")
    assert done.returncode == 0, done.stderr
    assert len(imageio.mimread(gif, memtest=False)) == 61
    with imageio.get_reader(mp4, format="FFMPEG") as reader:
        assert reader.count_frames() == 61 and reader.get_data(0).shape == (160, 320, 3)
    assert "zorbicViewer" in page.read_text(encoding="utf-8")


def test_a_tampered_replay_does_not_verify(match: Path, tmp_path: Path) -> None:
    replay = load_replay(match)
    replay.actions[20, 0, 0] = 5 - replay.actions[20, 0, 0] * 7  # another direction from step 21 on
    tampered = tmp_path / "tampered.zrp"
    tampered.write_bytes(encode_replay(replay))
    assert decode_replay(tampered.read_bytes()).n_steps == 60
    done = run("replay", str(tampered), "--verify")
    assert done.returncode == 1
    assert done.stderr.strip().splitlines() == [
        f"python -m zorbic replay: error: {tampered}: step 21 differs:"
        " the re-simulated state after it does not match the recorded digest"
    ]
    # Nor is it shown: a video of it would not be the recorded match.
    assert cli.main(["replay", str(tampered), "--gif", str(tmp_path / "t.gif")]) == 1
    assert not (tmp_path / "t.gif").exists()


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (None, "No such file or directory"),
        (b"", "truncated replay: 0 bytes"),
        (b"hello, this is not a replay at all: it is text, and longer than a header", "not a zorbic replay file"),
    ],
)
def test_a_bad_file_is_one_line_on_stderr_and_status_1(tmp_path: Path, content: bytes | None, message: str) -> None:
    path = tmp_path / "bad.zrp"
    if content is not None:
        path.write_bytes(content)
    done = run("replay", str(path), "--verify")
    assert done.returncode == 1 and done.stdout == ""
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("python -m zorbic replay: error: ") and message in lines[0]


@pytest.mark.parametrize(
    "args",
    [
        ["record"],  # --out is required
        ["record", "--out", "x.zrp", "--red", "genius"],
        ["record", "--out", "x.zrp", "--steps", "-3"],
        ["replay", "x.zrp", "--size", "huge"],
        ["replay"],
        ["dance"],
        [],
    ],
)
def test_usage_errors_exit_with_2(args: list[str], capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as exited:
        cli.main(args)
    assert exited.value.code == 2
    assert "usage: python -m zorbic" in capsys.readouterr().err


@pytest.mark.parametrize("command", [[], ["record"], ["replay"]])
def test_every_command_has_help(command: list[str]) -> None:
    done = run(*command, "--help")
    assert done.returncode == 0 and done.stdout.startswith("usage: python -m zorbic")


def test_another_sub_command_is_one_registration(monkeypatch: pytest.MonkeyPatch, capsys) -> None:
    monkeypatch.setattr(cli, "COMMANDS", dict(cli.COMMANDS))

    def configure(parser: argparse.ArgumentParser) -> None:
        parser.add_argument("--games", type=int, default=1)

    def evaluate(args: argparse.Namespace) -> int:
        print(f"evaluated {args.games} games")
        return 0

    cli.register(cli.Command("tally", "judge a policy", configure, evaluate))
    assert cli.main(["tally", "--games", "3"]) == 0
    assert capsys.readouterr().out == "evaluated 3 games\n"
    with pytest.raises(ValueError, match="registered already"):
        cli.register(cli.Command("evaluate", "again", configure, evaluate))
