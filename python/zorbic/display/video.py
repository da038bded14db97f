"""Writing frames as an animated GIF (Pillow) or an MP4 (imageio's ffmpeg).

Both take any iterable of (H, W, 3) uint8 frames, show a progress bar on a
terminal for long videos, and write atomically. The MP4 goes through the
ffmpeg binary that the imageio-ffmpeg wheel ships, as H.264 in yuv420p
(which every player reads); frames of odd width or height get one more
column or row of their edge pixels, as that format needs even sizes. A GIF
is encoded whole in memory (a byte per pixel per frame): prefer MP4 for
long matches.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterable, Iterator
from pathlib import Path

import imageio.v2 as imageio
import numpy as np
import numpy.typing as npt
from PIL import Image
from tqdm import tqdm

from zorbic.common.files import atomic_path
from zorbic.display.render import Renderer
from zorbic.engine.match_flow import TICKS_PER_SECOND
from zorbic.replays.format import Replay
from zorbic.replays.resimulate import frames

MP4_SUFFIX = ".mp4"  # ffmpeg chooses the container by the name
LONG_VIDEO = 200  # frames from which a progress bar is worth showing

Picture = npt.NDArray[np.uint8]


def replay_fps(replay: Replay) -> float:
    """Steps per second of real play: a step lasts tick_skip ticks."""
    return TICKS_PER_SECOND / replay.tick_skip


def replay_pictures(replay: Replay, renderer: Renderer) -> Iterator[Picture]:
    """A picture of the replay's start and of every step (n_steps + 1);
    raises `Divergence` if the re-simulation leaves the recording."""
    teams = np.array([2] * replay.n_red + [4] * replay.n_blue)
    for frame in frames(replay):
        yield renderer.draw(frame.ball_pos, frame.player_pos, teams, frame.score, frame.index, frame.phase)


def _progress(pictures: Iterable[Picture], total: int | None, what: str) -> Iterable[Picture]:
    # disable=None: tqdm draws only on a terminal, so logs and pipes stay clean.
    long = total is None or total >= LONG_VIDEO
    return tqdm(pictures, total=total, desc=what, unit="frame", disable=None if long else True, leave=False)


def _checked(picture: npt.ArrayLike) -> Picture:
    array = np.asarray(picture)
    if array.ndim != 3 or array.shape[2] != 3 or array.dtype != np.uint8:
        raise ValueError(f"a frame must be an (H, W, 3) uint8 array, not {array.dtype} {array.shape}")
    return array


def write_gif(pictures: Iterable[Picture], path: str | os.PathLike[str], fps: float, total: int | None = None) -> Path:
    """An animated GIF that loops, each frame shown 1 / fps seconds (GIF
    counts in hundredths of a second)."""
    images = [
        Image.fromarray(_checked(p)).quantize(method=Image.Quantize.FASTOCTREE)
        for p in _progress(pictures, total, "gif")
    ]
    if not images:
        raise ValueError("a GIF needs at least one frame")
    with atomic_path(path) as temporary:
        images[0].save(
            temporary,
            format="GIF",
            save_all=True,
            append_images=images[1:],
            duration=max(20, round(1000.0 / fps)),
            loop=0,
            optimize=False,
        )
    return Path(path)


def _even(picture: Picture) -> Picture:
    height, width = picture.shape[:2]
    if height % 2 == 0 and width % 2 == 0:
        return picture
    return np.pad(picture, ((0, height % 2), (0, width % 2), (0, 0)), mode="edge")


def write_mp4(pictures: Iterable[Picture], path: str | os.PathLike[str], fps: float, total: int | None = None) -> Path:
    """An H.264 MP4 at `fps` frames per second."""
    if Path(path).suffix.lower() != MP4_SUFFIX:
        raise ValueError(f"{os.fspath(path)}: an MP4 file name must end in {MP4_SUFFIX}")
    count = 0
    with atomic_path(path) as temporary:
        writer = imageio.get_writer(
            temporary,
            format="FFMPEG",
            fps=fps,
            codec="libx264",
            pixelformat="yuv420p",
            macro_block_size=2,
            ffmpeg_log_level="error",
        )
        try:
            for picture in _progress(pictures, total, "mp4"):
                writer.append_data(_even(_checked(picture)))
                count += 1
        except BaseException:
            # An interrupt reaches the ffmpeg child too, whose closing then
            # fails: the interrupt is what to report, not that.
            with contextlib.suppress(Exception):
                writer.close()
            raise
        writer.close()
        if count == 0:
            raise ValueError("an MP4 needs at least one frame")
    return Path(path)
