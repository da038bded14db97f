"""Drive a batch of matches the way a training loop does, and report speed.

Every step hands the batch one array of seeded random actions, reads back
which envs conceded a goal and resets those envs, as a loop that ends an
episode at each goal would. At the end it prints the throughput and the
goals scored, counted by the team that conceded them.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np
from tqdm import tqdm

import zorbic_core

TEAM_NAMES = {zorbic_core.FLAG_RED: "red", zorbic_core.FLAG_BLUE: "blue", 0: "no team"}


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, default=1024, help="matches in the batch (default 1024)")
    parser.add_argument("--red", type=int, default=3, help="red players per match (default 3)")
    parser.add_argument("--blue", type=int, default=3, help="blue players per match (default 3)")
    parser.add_argument("--tick-skip", type=int, default=8, help="physics ticks per step (default 8)")
    parser.add_argument(
        "--seconds", type=float, default=5.0, help="run for this long (default 5; ignored with --steps)"
    )
    parser.add_argument("--steps", type=int, default=None, help="run exactly this many steps instead")
    parser.add_argument("--seed", type=int, default=0, help="seed of the random actions (default 0)")
    args = parser.parse_args(argv)
    if args.envs < 1:
        parser.error("--envs must be at least 1")
    if args.red < 0 or args.blue < 0 or not 1 <= args.red + args.blue <= 32:
        parser.error("--red and --blue must not be negative and make 1 to 32 players together")
    if args.tick_skip < 0:
        parser.error("--tick-skip must not be negative")
    if args.steps is None and not args.seconds > 0:
        parser.error("--seconds must be positive")
    if args.steps is not None and args.steps < 0:
        parser.error("--steps must not be negative")
    return args


def random_actions(rng: np.random.Generator, n_envs: int, n_players: int) -> np.ndarray:
    actions = np.empty((n_envs, n_players, 3), dtype=np.int64)
    actions[:, :, :2] = rng.integers(-1, 2, size=(n_envs, n_players, 2))
    actions[:, :, 2] = rng.integers(0, 3, size=(n_envs, n_players))
    return actions


def run(args: argparse.Namespace) -> dict:
    env = zorbic_core.VecEnv(args.envs, args.red, args.blue, tick_skip=args.tick_skip)
    tick_skip = max(args.tick_skip, 1)
    rng = np.random.default_rng(args.seed)
    by_steps = args.steps is not None
    bar = tqdm(
        total=args.steps if by_steps else args.seconds,
        unit="step" if by_steps else "s",
        bar_format="{l_bar}{bar}| {elapsed}{postfix}",
        mininterval=0.2,
        file=sys.stderr,
    )

    goals = {team: 0 for team in TEAM_NAMES}
    steps_done = 0
    ticks_done = 0
    stepping_seconds = 0.0
    # Each env's step counter before the current call, so that the ticks an
    # env that scored really ran (fewer than tick_skip) are counted exactly.
    counters = np.zeros(args.envs, dtype=np.int64)

    start = time.perf_counter()
    while True:
        elapsed = time.perf_counter() - start
        if (steps_done >= args.steps) if by_steps else (elapsed >= args.seconds):
            break
        rate = steps_done * args.envs / elapsed if elapsed > 0 else 0.0
        bar.n = steps_done if by_steps else min(elapsed, args.seconds)
        bar.set_postfix_str(f"{rate:,.0f} env-steps/s, goals {sum(goals.values())}", refresh=False)
        bar.update(0)

        actions = random_actions(rng, args.envs, env.n_players)
        before = time.perf_counter()
        scored = env.physics_step(actions)
        stepping_seconds += time.perf_counter() - before
        steps_done += 1

        done = scored >= 0
        n_done = int(np.count_nonzero(done))
        ticks_done += (args.envs - n_done) * tick_skip
        counters[~done] += tick_skip
        if n_done:
            after = env.snapshot()[4]
            ticks_done += int((after[done] - counters[done]).sum())
            for team, count in zip(*np.unique(scored[done], return_counts=True)):
                goals[int(team)] = goals.get(int(team), 0) + int(count)
            env.reset_mask(done)
            counters[done] = 0

    total_seconds = time.perf_counter() - start
    bar.n = bar.total
    bar.close()
    return {
        "steps": steps_done,
        "env_steps": steps_done * args.envs,
        "ticks": ticks_done,
        "seconds": total_seconds,
        "stepping_seconds": stepping_seconds,
        "goals": goals,
    }


def report(args: argparse.Namespace, result: dict) -> None:
    threads = os.environ.get("RAYON_NUM_THREADS", "default")
    print(
        f"batch: {args.envs} envs of {args.red}v{args.blue} on the classic stadium, "
        f"tick_skip {max(args.tick_skip, 1)}, worker threads: {threads}"
    )
    print(
        f"ran {result['steps']} steps = {result['env_steps']:,} env-steps = "
        f"{result['ticks']:,} physics ticks in {result['seconds']:.2f}s "
        f"({result['stepping_seconds']:.2f}s inside physics_step)"
    )
    for label, seconds in (("overall", result["seconds"]), ("stepping only", result["stepping_seconds"])):
        if seconds > 0:
            print(
                f"throughput ({label}): {result['env_steps'] / seconds:,.0f} env-steps/s, "
                f"{result['ticks'] / seconds:,.0f} physics ticks/s"
            )
    parts = [f"{TEAM_NAMES.get(team, str(team))} conceded {count}" for team, count in sorted(result["goals"].items())]
    print(f"goals: {sum(result['goals'].values())} ({', '.join(parts)})")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        result = run(args)
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        return 130
    report(args, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
