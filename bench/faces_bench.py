"""Throughput of the training faces against raw `physics_step` on the same matches.

Run in a process of its own with RAYON_NUM_THREADS=1 (scripts/bench does):
it prints a line per configuration (one JSON object each with --json). The face runs with its default
parts (the chaser opponent, goal reward, egocentric observations) and random
actions drawn once into a bank. "raw" is the time that the same
physics_step calls took inside that run, on the same matches with the same
actions, so the ratio is exactly the share of the step that the face adds.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time

import gymnasium
import numpy as np

import zorbic  # noqa: F401  (registers the env id)
import zorbic_core

BANK = 16


def timed(step, seconds: float, warm_up: int = 3) -> tuple[int, float]:
    """Calls of `step` and seconds taken, at least `seconds` long after a warm-up."""
    for _ in range(warm_up):
        step()
    calls, start = 0, time.perf_counter()
    while True:
        step()
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return calls, elapsed


class TimedEngine:
    """Forwards to a VecEnv and adds up the seconds spent in physics_step."""

    def __init__(self, env: zorbic_core.VecEnv) -> None:
        self.env = env
        self.seconds = 0.0

    def physics_step(self, actions: np.ndarray) -> np.ndarray:
        start = time.perf_counter()
        scored = self.env.physics_step(actions)
        self.seconds += time.perf_counter() - start
        return scored

    def __getattr__(self, name: str):
        return getattr(self.env, name)


def face(matches: int, n_red: int, n_blue: int, self_play: bool, seconds: float) -> tuple[float, float]:
    """Env-steps (matches stepped) per second through the vector face, and of its physics_step calls alone."""
    learners = (n_red + n_blue) if self_play else 1
    env = gymnasium.make_vec(
        "zorbic/Soccer-v0",
        num_envs=matches * learners,
        vectorization_mode="vector_entry_point",
        n_red=n_red,
        n_blue=n_blue,
        self_play=self_play,
    )
    engine = TimedEngine(env.unwrapped.batch.env)
    env.unwrapped.batch.env = engine
    env.reset(seed=0)
    env.action_space.seed(0)
    bank = [env.action_space.sample() for _ in range(BANK)]
    turn = iter(range(1 << 62))

    def step():
        env.step(bank[next(turn) % BANK])

    for _ in range(3):
        step()
    engine.seconds = 0.0
    calls, elapsed = timed(step, seconds, warm_up=0)
    return matches * calls / elapsed, matches * calls / engine.seconds


def raw(matches: int, n_red: int, n_blue: int, seconds: float) -> float:
    """Env-steps per second of bare physics_step with random engine actions on fresh matches."""
    env = zorbic_core.VecEnv(matches, n_red, n_blue)
    rng = np.random.default_rng(0)
    shape = (matches, n_red + n_blue, 3)
    bank = [
        np.concatenate([rng.integers(-1, 2, shape[:2] + (2,)), rng.integers(0, 3, shape[:2] + (1,))], -1)
        for _ in range(BANK)
    ]
    turn = iter(range(1 << 62))

    def step():
        env.physics_step(bank[next(turn) % BANK])

    calls, elapsed = timed(step, seconds)
    return matches * calls / elapsed


def describe(record: dict) -> str:
    if record["config"] == "step cost":
        return (
            f"one step of the vector face, {record['matches']:>4} match(es): {record['seconds_per_step'] * 1e6:8.1f} us"
        )
    ratios = [f / r for f, r in zip(record["face"], record["raw"])]
    return (
        f"{record['config']:>14}, {record['matches']} matches: face {statistics.median(record['face']):>10,.0f}"
        f" env-steps/s, its physics_step calls {statistics.median(record['raw']):>10,.0f}, face/raw"
        f" {statistics.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f});"
        f" physics_step alone on fresh matches {statistics.median(record['raw_random']):>10,.0f}"
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="length of each timed run")
    parser.add_argument("--rounds", type=int, default=5, help="alternating rounds of face and raw")
    parser.add_argument("--json", action="store_true", help="print one JSON object per figure instead of a table")
    args = parser.parse_args(argv)

    def emit(record: dict) -> None:
        print(json.dumps(record) if args.json else describe(record), flush=True)

    configs = [("1v1", 1024, 1, 1, False), ("3v3 self-play", 1024, 3, 3, True)]
    for name, matches, n_red, n_blue, self_play in configs:
        faces, raws, randoms = [], [], []
        for _ in range(args.rounds):
            through_face, same_calls = face(matches, n_red, n_blue, self_play, args.seconds)
            faces.append(through_face)
            raws.append(same_calls)
            randoms.append(raw(matches, n_red, n_blue, args.seconds))
        emit({"config": name, "matches": matches, "face": faces, "raw": raws, "raw_random": randoms})
    for matches in (1, 1024):
        calls_per_second = face(matches, 1, 1, False, args.seconds)[0] / matches
        emit({"config": "step cost", "matches": matches, "seconds_per_step": 1.0 / calls_per_second})
    return 0


if __name__ == "__main__":
    sys.exit(main())
