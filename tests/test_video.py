"""GIF and MP4 files of a match: they read back with every frame, and a
failed write leaves nothing behind."""

from __future__ import annotations

from pathlib import Path

import imageio.v2 as imageio
import numpy as np
import pytest

from zorbic.display.render import Renderer
from zorbic.display.video import replay_fps, replay_pictures, write_gif, write_mp4
from zorbic.engine.stadium import load_stadium
from zorbic.replays.format import Replay
from zorbic.replays.recording import RecordingVecEnv


def recorded(steps: int, tick_skip: int = 8) -> Replay:
    env = RecordingVecEnv(1, 2, 2, tick_skip=tick_skip)
    rng = np.random.default_rng(0)
    for _ in range(steps):
        env.physics_step(rng.integers(-1, 2, size=(1, 4, 3)))
    return env.replay()


def mp4_frames(path: Path) -> tuple[int, np.ndarray, float]:
    with imageio.get_reader(path, format="FFMPEG") as reader:
        return reader.count_frames(), reader.get_data(0), reader.get_meta_data()["fps"]


@pytest.mark.parametrize(("steps", "size"), [(0, (160, 80)), (12, (161, 81)), (250, (320, 160))])
def test_a_gif_holds_a_frame_for_the_start_and_every_step(tmp_path: Path, steps: int, size) -> None:
    replay = recorded(steps)
    renderer = Renderer(load_stadium(), *size)
    path = write_gif(replay_pictures(replay, renderer), tmp_path / "match.gif", replay_fps(replay), steps + 1)
    frames = imageio.mimread(path, memtest=False)
    assert len(frames) == steps + 1
    assert frames[0].shape[:2] == (size[1], size[0])
    # A palette of at most 256 colours changes a picture only a little.
    first = next(replay_pictures(replay, renderer))
    assert np.abs(frames[0][..., :3].astype(int) - first).mean() < 4


@pytest.mark.parametrize(("steps", "size"), [(1, (160, 80)), (30, (161, 81))])
def test_an_mp4_holds_a_frame_for_the_start_and_every_step(tmp_path: Path, steps: int, size) -> None:
    replay = recorded(steps, tick_skip=4)
    renderer = Renderer(load_stadium(), *size)
    path = write_mp4(replay_pictures(replay, renderer), tmp_path / "match.mp4", replay_fps(replay), steps + 1)
    count, first, fps = mp4_frames(path)
    assert count == steps + 1 and fps == pytest.approx(15.0)
    # Odd sizes gain one row and one column of their edge: the format needs even ones.
    assert first.shape[:2] == (size[1] + size[1] % 2, size[0] + size[0] % 2)
    expected = next(replay_pictures(replay, renderer))
    assert np.abs(first[: size[1], : size[0]].astype(int) - expected).mean() < 6


@pytest.mark.parametrize("write", [write_gif, write_mp4])
def test_a_failed_write_leaves_neither_a_file_nor_a_temporary(tmp_path: Path, write) -> None:
    target = tmp_path / ("match" + (".gif" if write is write_gif else ".mp4"))
    target.write_bytes(b"the old video")

    def frames_then_crash():
        yield np.zeros((32, 32, 3), np.uint8)
        raise RuntimeError("the renderer fell over")

    with pytest.raises(RuntimeError, match="fell over"):
        write(frames_then_crash(), target, 7.5)
    assert target.read_bytes() == b"the old video"
    assert [p.name for p in tmp_path.iterdir()] == [target.name]


@pytest.mark.parametrize("write", [write_gif, write_mp4])
@pytest.mark.parametrize(
    ("frames", "message"),
    [
        ([], "at least one frame"),
        ([np.zeros((32, 32), np.uint8)], r"\(H, W, 3\) uint8"),
        ([np.zeros((32, 32, 3), np.float64)], r"\(H, W, 3\) uint8"),
    ],
)
def test_frames_that_are_not_pictures_are_refused(tmp_path: Path, write, frames, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        write(frames, tmp_path / "out.mp4", 10.0)
    assert list(tmp_path.iterdir()) == []
