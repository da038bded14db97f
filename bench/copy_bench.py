"""The cost of copying and pickling a batch of 1024 matches mid-episode.

A copy re-simulates the engine's calls since the oldest running episode
began, so its cost grows with how far the episodes have run: it is measured
after `--steps` steps of the vector face (chaser opponent, 1 v 1, episodes
of up to 300 steps restarting one match at a time). "step" is one step of
the same face, for scale. Prints a table (one JSON object per figure with
--json).
"""

from __future__ import annotations

import argparse
import copy
import json
import pickle
import statistics
import time

import numpy as np

from zorbic.faces.gym_vector import SoccerVectorEnv

N_MATCHES = 1024


def timed(work, repeats: int) -> float:
    runs = []
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        runs.append(time.perf_counter() - start)
    return statistics.median(runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--json", action="store_true", help="print one JSON object per figure")
    parser.add_argument("--steps", type=int, default=450, help="steps taken before the copies")
    args = parser.parse_args()
    repeats = 3 if args.quick else 5

    env = SoccerVectorEnv(N_MATCHES, opponent="chaser")
    env.reset(seed=0)
    rng = np.random.default_rng(0)
    n = env.single_action_space.n
    for _ in range(args.steps):
        env.step(rng.integers(0, n, N_MATCHES))
    actions = rng.integers(0, n, N_MATCHES)
    blob = pickle.dumps(env)
    figures = [
        {"figure": "deepcopy s", "value": round(timed(lambda: copy.deepcopy(env), repeats), 4)},
        {"figure": "pickle.dumps s", "value": round(timed(lambda: pickle.dumps(env), repeats), 4)},
        {"figure": "pickle.loads s", "value": round(timed(lambda: pickle.loads(blob), repeats), 4)},
        {"figure": "pickle MB", "value": round(len(blob) / 1e6, 2)},
        {"figure": "history length (steps)", "value": len(env.batch.history.calls)},
        {"figure": "one step s", "value": round(timed(lambda: env.step(actions), repeats), 5)},
    ]
    if args.json:
        for figure in figures:
            print(json.dumps(figure))
        return
    print(f"{N_MATCHES} matches, 1 v 1, after {args.steps} steps:")
    for figure in figures:
        print(f"  {figure['figure']:>24}  {figure['value']}")


if __name__ == "__main__":
    main()
