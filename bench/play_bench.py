"""Timing of the play server: how evenly it ticks, and what an agent decision costs.

A 3 v 3 on the classic stadium, every player but the person's driven by one
agent with random weights (two hidden layers of 64, as a default trained
agent has), the person's standing still. The server runs in this process,
with no page connected, for a few seconds of real time.

    python bench/play_bench.py            a table
    python bench/play_bench.py --json     one JSON object per figure
    python bench/play_bench.py --seconds 3

Jitter is how far each interval between two ticks is from 1/60 s; drift is
how far the whole run is from one tick per 1/60 s. The decision is one call
of the agent's opponent for all six players: observations, the network,
the action table.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

from zorbic.agents import Agent, saved_setup
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.display.viewer import drawing
from zorbic.engine.match_flow import TICKS_PER_SECOND
from zorbic.engine.stadium import classic_text
from zorbic.parts.opponents import make_opponent
from zorbic.play.lineup import Agent as PlayedAgent
from zorbic.play.lineup import drivers
from zorbic.play.match import LiveMatch
from zorbic.play.server import PlayServer

N_RED = N_BLUE = 3
HIDDEN = (64, 64)


def random_agent(seed: int = 0) -> Agent:
    batch = SoccerBatch(1, MatchSetup(n_red=N_RED, n_blue=N_BLUE))
    sizes = (batch.observation_space.shape[0], *HIDDEN, int(batch.action_space.n))
    rng = np.random.default_rng(seed)
    weights = [rng.normal(0, 1 / np.sqrt(a), (a, b)) for a, b in zip(sizes, sizes[1:])]
    biases = [rng.normal(0, 0.1, b) for b in sizes[1:]]
    return Agent(weights, biases, "tanh", [sizes[-1]], saved_setup(batch.setup))


def played(agent: Agent) -> PlayedAgent:
    from zorbic.agents import setup_from_saved

    return PlayedAgent(Path("random.agent"), agent, setup_from_saved(agent.setup))


async def run_server(match: LiveMatch, seconds: float, record: Path) -> list[float]:
    server = PlayServer(match, drawing(match.stadium, match.field.teams.tolist(), 640, 320), record)
    server.keep_tick_times = True
    await server.start(0)
    server.loop.call_later(seconds, server.stop)
    await server.run()
    return server.tick_times


def percentile(values: np.ndarray, q: float) -> float:
    return float(np.percentile(values, q))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="real time the server runs (default 10)")
    parser.add_argument("--json", action="store_true", help="print one JSON object per figure")
    args = parser.parse_args()

    agent = played(random_agent())
    match = LiveMatch(classic_text(), N_RED, N_BLUE, 0, lambda field: drivers(agent, agent, field, 0, "red"))
    with tempfile.TemporaryDirectory() as folder:
        times = np.array(asyncio.run(run_server(match, args.seconds, Path(folder) / "bench.zrp")))
    intervals = np.diff(times)
    jitter_ms = np.abs(intervals - 1.0 / TICKS_PER_SECOND) * 1000.0
    drift_ms = ((times[-1] - times[0]) - (len(times) - 1) / TICKS_PER_SECOND) * 1000.0

    decisions = {}
    slots = np.arange(N_RED + N_BLUE)
    trained = MatchSetup(**agent.keywords)
    for label, opponent in (
        ("agent", make_opponent(agent.policy, trained.obs_builder, trained.action_parser)),
        ("chaser", make_opponent("chaser")),
    ):
        for _ in range(50):
            opponent.act(match.state, match.field, slots)
        spent = []
        for _ in range(2000):
            start = time.perf_counter()
            opponent.act(match.state, match.field, slots)
            spent.append(time.perf_counter() - start)
        decisions[label] = (statistics.median(spent) * 1000.0, percentile(np.array(spent), 99) * 1000.0)

    figures = [
        {"figure": "play tick jitter p50 ms", "teams": "3v3 agents", "value": round(percentile(jitter_ms, 50), 3)},
        {"figure": "play tick jitter p99 ms", "teams": "3v3 agents", "value": round(percentile(jitter_ms, 99), 3)},
        {"figure": "play tick jitter max ms", "teams": "3v3 agents", "value": round(float(jitter_ms.max()), 3)},
        {"figure": "play drift ms", "ticks": len(times), "value": round(drift_ms, 3)},
    ] + [
        {"figure": f"{label} decision for six players ms", "median": round(median, 4), "p99": round(p99, 4)}
        for label, (median, p99) in decisions.items()
    ]
    if args.json:
        for figure in figures:
            print(json.dumps(figure))
        return
    print(f"3 v 3 of a random-weight agent {HIDDEN}, {len(times)} ticks in {times[-1] - times[0]:.2f} s:")
    print(
        f"  tick interval jitter: p50 {percentile(jitter_ms, 50):.3f} ms, p99 {percentile(jitter_ms, 99):.3f} ms,"
        f" max {jitter_ms.max():.3f} ms; drift over the run {drift_ms:+.3f} ms"
    )
    for label, (median, p99) in decisions.items():
        print(f"  {label} decision for six players: median {median:.3f} ms, p99 {p99:.3f} ms")


if __name__ == "__main__":
    main()
