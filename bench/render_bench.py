"""Frames per second of the picture renderer: the classic stadium, 3 v 3, 640 x 320.

Runs on one core (the process pins itself to one). The states are those of a
real match (random play, recorded once), drawn in order, as a face's
render() or a video would. Each figure is the median of several timed runs;
the spread is (max - min) / 2 of those runs relative to the median.

    python bench/render_bench.py            a table
    python bench/render_bench.py --json     one JSON object per figure
    python bench/render_bench.py --quick    shorter runs

Besides the frame rate it reports what bounds it: the share of a frame
spent copying the static stadium layer and handing the picture out as a
NumPy array, which every frame pays whatever is drawn on it.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import time

os.environ.setdefault("RAYON_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import zorbic_core  # noqa: E402
from zorbic.display.render import Renderer  # noqa: E402
from zorbic.engine.stadium import load_stadium  # noqa: E402

WIDTH, HEIGHT = 640, 320
N_RED = N_BLUE = 3


def match_states(steps: int) -> list[tuple[np.ndarray, np.ndarray]]:
    env = zorbic_core.VecEnv(1, N_RED, N_BLUE)
    rng = np.random.default_rng(0)
    states = []
    for _ in range(steps):
        env.physics_step(rng.integers(-1, 2, size=(1, N_RED + N_BLUE, 3)))
        ball_pos, _, player_pos, _, _ = env.snapshot()
        states.append((ball_pos[0], player_pos[0]))
    return states


def median_rate(run, count: int, repeats: int) -> tuple[float, float]:
    rates = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        rates.append(count / (time.perf_counter() - start))
    median = statistics.median(rates)
    return median, (max(rates) - min(rates)) / 2 / median


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs")
    parser.add_argument("--json", action="store_true", help="print one JSON object per figure")
    args = parser.parse_args()
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})

    frames, repeats = (300, 3) if args.quick else (1200, 5)
    states = match_states(frames)
    teams = np.array([zorbic_core.FLAG_RED] * N_RED + [zorbic_core.FLAG_BLUE] * N_BLUE)

    start = time.perf_counter()
    renderer = Renderer(load_stadium(), WIDTH, HEIGHT)
    build_ms = (time.perf_counter() - start) * 1000.0

    def draw_all() -> None:
        for step, (ball, players) in enumerate(states):
            renderer.draw(ball, players, teams, (step // 400, step // 500), step, 1)

    layer = renderer._stadium_layer

    def copy_only() -> None:
        for _ in states:
            np.array(layer.copy())

    draw_all()  # the sprites of every sub-pixel position get made once
    fps, spread = median_rate(draw_all, frames, repeats)
    floor_fps, _ = median_rate(copy_only, frames, repeats)
    figures = [
        {
            "figure": "render fps",
            "stadium": "classic",
            "teams": "3v3",
            "size": f"{WIDTH}x{HEIGHT}",
            "value": round(fps, 1),
            "spread": round(spread, 3),
        },
        {"figure": "render build ms", "value": round(build_ms, 1)},
        {"figure": "share of a frame in the layer copy and array hand-out", "value": round(fps / floor_fps, 3)},
    ]
    if args.json:
        for figure in figures:
            print(json.dumps(figure))
        return
    print(f"classic 3v3 at {WIDTH}x{HEIGHT}, one core, anti-aliased:")
    print(f"  {fps:8.0f} frames/s   (median of {repeats} runs of {frames} frames, spread {spread:.0%})")
    print(f"  {build_ms:8.1f} ms to build the renderer (the static stadium layer)")
    print(f"  {fps / floor_fps:8.0%} of each frame copies the layer and hands out the array")


if __name__ == "__main__":
    main()
