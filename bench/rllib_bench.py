"""RLlib's PPO on the plain recipes and on the fast paths, side by side, with one env runner.

Four set-ups, each on the same PPO settings and the same local Ray cluster:
- single plain: `gymnasium.make("zorbic/Soccer-v0")` in gymnasium's
  synchronous vector of 8 Env objects (RLlib's default way);
- single fast: the native VectorEnv of `--single-envs` matches;
- multi plain: RLlib's ParallelPettingZooEnv over the 2 v 2 PettingZoo face,
  one match per runner;
- multi fast: `SoccerMultiAgentEnvRunner`, `--multi-envs` matches of 2 v 2 in
  one batch.

"sampling" is the env runner's own `sample()` of `--samples` env steps, timed
in the runner; "whole loop" is `algo.train()` (sampling, then the PPO update
on the driver), env steps over wall time. Medians over `--rounds` after a
warm-up. Needs the `rllib` extra.
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable

import ray

from zorbic.distributed.rllib import self_play_config, single_agent_config
from zorbic.training.train import match_keywords, shaped_reward

BATCH = 8192


def setups(single_envs: int, multi_envs: int) -> dict[str, Callable]:
    single = dict(match_keywords(), opponent="idle", reward_fn=shaped_reward(1))
    multi = dict(match_keywords(2, 2), reward_fn=shaped_reward(2))
    return {
        "single plain": lambda: single_agent_config(8, fast=False, **single),
        "single fast": lambda: single_agent_config(single_envs, **single),
        "multi plain": lambda: self_play_config(1, fast=False, **multi),
        "multi fast": lambda: self_play_config(multi_envs, **multi),
    }


def sampling_rate(algo, samples: int) -> float:
    def timed(runner) -> float:
        start = time.perf_counter()
        runner.sample(num_timesteps=samples)
        return samples / (time.perf_counter() - start)

    (rate,) = algo.env_runner_group.foreach_env_runner(timed, local_env_runner=False)
    return rate


def whole_loop_rate(algo) -> float:
    start = time.perf_counter()
    result = algo.train()
    return result["env_runners"]["num_env_steps_sampled"] / (time.perf_counter() - start)


def measure(make, samples: int, rounds: int) -> tuple[float, float]:
    config = make().env_runners(num_env_runners=1)
    config.training(train_batch_size_per_learner=BATCH, minibatch_size=BATCH // 4, num_epochs=2)
    algo = config.build_algo()
    try:
        algo.train()
        sampling = statistics.median(sampling_rate(algo, samples) for _ in range(rounds))
        whole = statistics.median(whole_loop_rate(algo) for _ in range(rounds))
    finally:
        algo.stop()
    return sampling, whole


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--single-envs", type=int, default=256, help="matches in the single-agent fast runner")
    parser.add_argument("--multi-envs", type=int, default=64, help="matches in the multi-agent fast runner")
    parser.add_argument("--samples", type=int, default=4096, help="env steps of each timed sample()")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="", help="comma-separated set-ups, e.g. 'single fast'")
    args = parser.parse_args()
    chosen = setups(args.single_envs, args.multi_envs)
    if args.only:
        chosen = {name: chosen[name.strip()] for name in args.only.split(",")}
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        rates = {name: measure(make, args.samples, args.rounds) for name, make in chosen.items()}
    finally:
        ray.shutdown()
    print(f"{'set-up':<14}{'sampling env-steps/s':>22}{'whole loop env-steps/s':>24}{'fast / plain':>20}")
    for name, (sampling, whole) in rates.items():
        plain = rates.get(name.replace("fast", "plain"))
        ratio = f"{sampling / plain[0]:.1f}x, {whole / plain[1]:.1f}x" if plain and "fast" in name else ""
        print(f"{name:<14}{sampling:>22,.0f}{whole:>24,.0f}{ratio:>20}")


if __name__ == "__main__":
    main()
