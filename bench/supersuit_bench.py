"""SuperSuit's vector of PettingZoo faces beside the native vector face, agent-steps per second.

Both drive every player of `--matches` matches of 2 v 2 (self-play, the
default parts) with random actions drawn once into a bank:
- SuperSuit: `pettingzoo_env_to_vec_env_v1` over `parallel_env(n_red=2,
  n_blue=2)`, then `concat_vec_envs_v1` of `--matches` copies, in this
  process (`num_cpus=0`) and in two worker processes (`num_cpus=2`);
- native: `SoccerVectorEnv(4 * matches, self_play=True, n_red=2, n_blue=2)`.
Medians over `--rounds`. Needs the `tools` extra.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import supersuit

from zorbic.faces.gym_vector import SoccerVectorEnv
from zorbic.faces.pettingzoo import parallel_env

BANK = 16
SETUP = dict(n_red=2, n_blue=2)


def agent_steps_per_second(envs, n_agents: int, seconds: float, rounds: int) -> float:
    bank = np.random.default_rng(0).integers(0, 18, (BANK, n_agents))
    envs.reset()
    rates = []
    for _ in range(rounds):
        steps, start = 0, time.perf_counter()
        while time.perf_counter() - start < seconds:
            envs.step(bank[steps % BANK])
            steps += 1
        rates.append(steps * n_agents / (time.perf_counter() - start))
    return statistics.median(rates)


def supersuit_envs(matches: int, num_cpus: int):
    agents = supersuit.pettingzoo_env_to_vec_env_v1(parallel_env(**SETUP))
    return supersuit.concat_vec_envs_v1(agents, matches, num_cpus=num_cpus, base_class="gymnasium")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--matches", type=int, default=64)
    parser.add_argument("--seconds", type=float, default=3.0, help="length of each timed round")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    n_agents = 4 * args.matches
    rates = {}
    for num_cpus in (0, 2):
        envs = supersuit_envs(args.matches, num_cpus)
        try:
            rates[f"SuperSuit, num_cpus={num_cpus}"] = agent_steps_per_second(envs, n_agents, args.seconds, args.rounds)
        finally:
            envs.close()
    native = SoccerVectorEnv(n_agents, self_play=True, **SETUP)
    rates["native vector face"] = agent_steps_per_second(native, n_agents, args.seconds, args.rounds)
    print(f"{args.matches} matches of 2 v 2, every player an agent")
    print(f"{'vector':<26}{'agent-steps/s':>16}")
    for name, rate in rates.items():
        print(f"{name:<26}{rate:>16,.0f}")


if __name__ == "__main__":
    main()
