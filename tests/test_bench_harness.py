"""The benchmark's own arithmetic: how long its timed runs last."""

import importlib
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench" / "bench.py"


@pytest.fixture
def bench(monkeypatch):
    monkeypatch.syspath_prepend(str(BENCH.parent))
    monkeypatch.delitem(sys.modules, "bench", raising=False)
    return importlib.import_module("bench")


class FakeCalls:
    """A call of n steps costing `once` on the first call only, `per_call` on
    every call and `per_step` a step, on a clock of its own."""

    def __init__(self, once: float, per_call: float, per_step: float) -> None:
        self.now = 0.0
        self.once, self.per_call, self.per_step = once, per_call, per_step

    def clock(self) -> float:
        return self.now

    def __call__(self, n: int) -> None:
        self.now += self.once + self.per_call + n * self.per_step
        self.once = 0.0


RUN = 0.25


@pytest.mark.parametrize(
    ("once", "per_call", "per_step"),
    [
        (0.0, 0.0, 1e-4),  # nothing but steps
        (2e-3, 0.0, 1e-5),  # a pool's start dwarfing a step
        (0.5, 0.0, 1e-4),  # a start longer than a whole run
        (0.0, 5e-4, 1e-4),  # a set-up of five steps, as rollout_bench pays
        (1e-3, 1e-4, 1e-6),  # many tiny steps after a costly first call
        (0.0, 0.0, 1.0),  # one step already longer than a run
    ],
)
def test_timed_runs_last_about_as_long_as_asked(bench, monkeypatch, once, per_call, per_step):
    calls = FakeCalls(once, per_call, per_step)
    monkeypatch.setattr(bench.time, "perf_counter", calls.clock)
    n = bench.steps_needed(calls, RUN)
    assert n >= 1
    timed = calls.per_call + n * per_step
    if per_step >= RUN:
        assert n == 1
    else:
        assert 0.75 * RUN <= timed <= 1.25 * RUN


def test_processes_side_by_side_each_get_the_whole_job(bench):
    job = {"kind": "rollout", "red": 1, "blue": 1, "n_envs": 2, "plan": {"run_seconds": 0.01, "repeats": 2}}
    apart = bench.side_by_side([job], 2)
    assert len(apart) == 2
    for results in apart:
        (result,) = results
        assert result["threads"] == 1
        assert len(result["result"]["env_ticks_per_s"]["samples"]) == 2
        assert result["result"]["env_ticks_per_s"]["median"] > 0
