"""The cost of one step of the single-match faces, side by side with CartPole-v1.

Run in a process of its own with RAYON_NUM_THREADS=1 (scripts/bench does).
Each round times, one after the other, a step of gymnasium's CartPole-v1
(as `gymnasium.make` wraps it), of `gymnasium.make("zorbic/Soccer-v0")` with
the default parts and with the idle opponent, and of the 1 v 1 PettingZoo
parallel env; an episode that ends is reset inside the timed loop, as a
training loop would. Actions come from a bank drawn once. The figures are
medians over the rounds; the ratios are taken within each round.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from collections.abc import Callable

import gymnasium
import numpy as np

import zorbic  # noqa: F401  (registers the env id)
from zorbic.faces.pettingzoo import parallel_env

BANK = 64


def per_step(step: Callable[[int], None], seconds: float) -> float:
    """Seconds per call of `step(turn)`, over a run at least `seconds` long after a warm-up."""
    for turn in range(200):
        step(turn)
    calls, start = 0, time.perf_counter()
    while True:
        for _ in range(200):
            step(calls)
            calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return elapsed / calls


def gym_stepper(env: gymnasium.Env, actions: list) -> Callable[[int], None]:
    env.reset(seed=0)

    def step(turn: int) -> None:
        _, _, terminated, truncated, _ = env.step(actions[turn % BANK])
        if terminated or truncated:
            env.reset()

    return step


def cartpole() -> Callable[[int], None]:
    return gym_stepper(gymnasium.make("CartPole-v1"), [int(a) for a in np.random.default_rng(0).integers(0, 2, BANK)])


def soccer(**setup: object) -> Callable[[int], None]:
    return gym_stepper(
        gymnasium.make("zorbic/Soccer-v0", **setup), [int(a) for a in np.random.default_rng(0).integers(0, 18, BANK)]
    )


def pettingzoo() -> Callable[[int], None]:
    env = parallel_env()
    env.reset(seed=0)
    rng = np.random.default_rng(0)
    actions = [{agent: int(rng.integers(0, 18)) for agent in env.possible_agents} for _ in range(BANK)]

    def step(turn: int) -> None:
        if not env.agents:
            env.reset()
        env.step(actions[turn % BANK])

    return step


FACES: dict[str, Callable[[], Callable[[int], None]]] = {
    "CartPole-v1": cartpole,
    "Soccer-v0 (chaser)": soccer,
    "Soccer-v0 (idle)": lambda: soccer(opponent="idle"),
    "PettingZoo 1v1": pettingzoo,
}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0.5, help="length of each timed run")
    parser.add_argument("--rounds", type=int, default=5, help="rounds of every face in turn")
    parser.add_argument("--json", action="store_true", help="print one JSON object per face instead of a table")
    args = parser.parse_args(argv)

    steppers = {name: make() for name, make in FACES.items()}
    samples: dict[str, list[float]] = {name: [] for name in FACES}
    for _ in range(args.rounds):
        for name, step in steppers.items():
            samples[name].append(per_step(step, args.seconds))
    base = samples["CartPole-v1"]
    for name, seconds in samples.items():
        ratios = [s / b for s, b in zip(seconds, base)]
        record = {"config": name, "seconds_per_step": seconds, "to_cartpole": ratios}
        if args.json:
            print(json.dumps(record), flush=True)
        else:
            print(
                f"{name:>20}: {statistics.median(seconds) * 1e6:7.1f} us a step,"
                f" {statistics.median(ratios):5.2f}x CartPole-v1 ({min(ratios):.2f}-{max(ratios):.2f})",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
