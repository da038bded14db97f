"""Several Python threads and processes at once: the borrow errors of every
member during the benchmark, work that may run beside it, several operations
on the pool at the same moment, and processes that fork or end while the
pool is busy.

Each scenario compares with the same work done alone, in one thread, so a
race shows up as a different result rather than needing a lucky crash.
"""

import hashlib
import json
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import zorbic_core
from threads import JOIN_TIMEOUT, run_in_threads
from zorbic_core import VecEnv

CHILD_TIMEOUT = 120  # seconds; only a hang comes near it


def digest(env):
    parts = [*env.snapshot(), *env.kick_state(), env.obstacle_discs()]
    return hashlib.sha256(b"".join(p.tobytes() for p in parts)).hexdigest()


def start_benchmark(env, n_steps):
    """Runs env.rollout_bench(n_steps) on a thread and returns once the
    benchmark holds the batch."""
    result = []
    thread = threading.Thread(target=lambda: result.append(env.rollout_bench(n_steps)))
    thread.start()
    while thread.is_alive():
        try:
            env.n_envs
        except RuntimeError:
            break
    return thread, result


# ---- the borrow during the benchmark ----------------------------------------

N, P = 16, 4
ARRAYS = VecEnv(N, 2, 2).snapshot()

# The members not already exercised beside the benchmark in the stepping
# tests, with the error each must raise: setters need the batch to
# themselves, readers need it unchanged.
BORROWING_CALLS = {
    "set_state": (lambda e: e.set_state(*ARRAYS), "Already borrowed"),
    "set_kick_rate_limit": (lambda e: e.set_kick_rate_limit(9, 9, 9), "Already borrowed"),
    "set_player_cmask": (lambda e: e.set_player_cmask(0), "Already borrowed"),
    "teams": (lambda e: e.teams(), "Already mutably borrowed"),
    "goals": (lambda e: e.goals(), "Already mutably borrowed"),
    "wall_segments": (lambda e: e.wall_segments(), "Already mutably borrowed"),
    "obstacle_discs": (lambda e: e.obstacle_discs(), "Already mutably borrowed"),
    "predict_ball": (lambda e: e.predict_ball([1, 2]), "Already mutably borrowed"),
    "n_players": (lambda e: e.n_players, "Already mutably borrowed"),
    "obs_dim": (lambda e: e.obs_dim, "Already mutably borrowed"),
    "player_max_speed": (lambda e: e.player_max_speed, "Already mutably borrowed"),
}


def outcomes_of(env):
    outcomes = {}
    for name, (call, _) in BORROWING_CALLS.items():
        try:
            call(env)
            outcomes[name] = "ran"
        except RuntimeError as error:
            outcomes[name] = str(error)
    return outcomes


def test_every_other_member_is_refused_during_the_benchmark_and_changes_nothing():
    # The benchmark must outlast the calls, so its length grows until it does.
    n_steps = 5_000
    for _ in range(6):
        env = VecEnv(N, 2, 2)
        thread, result = start_benchmark(env, n_steps)
        outcomes = outcomes_of(env)
        still_running = thread.is_alive()
        thread.join(JOIN_TIMEOUT)
        if still_running:
            break
        n_steps *= 4
    else:
        pytest.fail("the benchmark never outlasted the calls")

    assert outcomes == {name: error for name, (_, error) in BORROWING_CALLS.items()}
    assert result == [N * n_steps]
    alone = VecEnv(N, 2, 2)
    alone.rollout_bench(n_steps)
    assert digest(env) == digest(alone)
    assert outcomes_of(env) == dict.fromkeys(BORROWING_CALLS, "ran")


def independent_work():
    """Work that touches no benchmarking batch: building, stepping, resetting
    and predicting other batches, and the contact functions."""
    env = VecEnv.from_zsm('{"ballPhysics": {"damping": 1}, "planes": [{"normal": [1, 0], "dist": -90}]}', 7, 1, 2)
    rng = np.random.default_rng(3)
    out = []
    for step in range(40):
        actions = rng.integers(-1, 3, size=(7, 3, 3), dtype=np.int64)
        out.append(env.physics_step(actions).tobytes())
        env.reset_mask(rng.integers(0, 2, size=7).astype(bool))
        out.append(env.predict_ball([1, step + 1, 90]).tobytes())
        out.append(zorbic_core.disc_disc((0, 0), (15, 0), (1, 0), (0, 0), 10, 10, 1, 1, 0.5, step / 40))
    out.append(digest(env))
    return out


def test_other_batches_work_normally_beside_running_benchmarks():
    alone = independent_work()
    bench = VecEnv(32, 3, 3)
    stop = threading.Event()
    runs = []

    def keep_benchmarking():
        while not stop.is_set():
            runs.append(bench.rollout_bench(2_000))

    thread = threading.Thread(target=keep_benchmarking)
    thread.start()
    try:
        beside = [independent_work() for _ in range(3)]
    finally:
        stop.set()
        thread.join(JOIN_TIMEOUT)
    assert not thread.is_alive()
    assert beside == [alone] * 3
    # The benchmark's batch came out as if it had run alone.
    replay = VecEnv(32, 3, 3)
    for _ in runs:
        replay.rollout_bench(2_000)
    assert runs and digest(bench) == digest(replay)


# ---- several operations on the pool at once ----------------------------------

BATCHES = [(5, 1, 1), (17, 2, 3), (1, 3, 0), (40, 1, 2), (8, 4, 4)]


def bench_job(n_envs, n_red, n_blue, n_steps):
    def job():
        env = VecEnv(n_envs, n_red, n_blue)
        return env.rollout_bench(n_steps), digest(env)

    return job


def mixed_job(seed, n_envs, n_red, n_blue):
    """Every kind of call on a batch of its own, in a seeded order."""

    def job():
        rng = np.random.default_rng(seed)
        env = VecEnv(n_envs, n_red, n_blue, tick_skip=1 + seed % 4)
        p = n_red + n_blue
        out = []
        for _ in range(60):
            kind = rng.integers(0, 5)
            if kind == 0:
                out.append(env.rollout_bench(int(rng.integers(1, 200))))
            elif kind == 1:
                env.reset_mask(rng.integers(0, 2, size=n_envs).astype(bool))
            elif kind == 2:
                out.append(env.predict_ball(sorted(rng.integers(0, 300, size=4).tolist())).tobytes())
            elif kind == 3:
                state = env.snapshot()
                env.set_state(*state[:4], rng.integers(0, 10**6, size=n_envs))
            else:
                actions = rng.integers(-1, 3, size=(n_envs, p, 3), dtype=np.int64)
                out.append(env.physics_step(actions).tobytes())
        out.append(digest(env))
        return out

    return job


def test_several_benchmarks_share_the_pool_at_once():
    jobs = [bench_job(*batch, 20_000 + 5_000 * k) for k, batch in enumerate(BATCHES)]
    alone = [job() for job in jobs]
    assert run_in_threads(*jobs) == alone


def test_threads_switching_often_on_batches_of_their_own_get_what_each_would_alone():
    jobs = [mixed_job(seed, *batch) for seed, batch in enumerate(BATCHES)] + [bench_job(24, 2, 2, 20_000)]
    alone = [job() for job in jobs]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        together = run_in_threads(*jobs)
    finally:
        sys.setswitchinterval(interval)
    assert together == alone


# ---- processes that fork or end while the pool works --------------------------


def run_child(script, expect_status=0):
    env = dict(os.environ, RAYON_NUM_THREADS="3")
    # Forking a process with threads is what these scripts are about.
    command = [sys.executable, "-W", "ignore::DeprecationWarning", "-c", textwrap.dedent(script)]
    completed = subprocess.run(command, env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    assert completed.returncode == expect_status, completed.stderr
    return completed


# The child leaves through the interpreter's normal shutdown (not os._exit),
# with the benchmark's thread and the parent's pool threads absent.
FORK_THEN_EXIT = """
    import json, os, sys, threading
    import numpy as np
    from zorbic_core import VecEnv

    env = VecEnv(12, 2, 1)
    env.physics_step(np.ones((12, 3, 3), np.int64))
    busy = VecEnv(16, 3, 3)
    bench = threading.Thread(target=busy.rollout_bench, args=(300_000,))
    bench.start()
    while True:
        try:
            busy.n_envs
        except RuntimeError:
            break
    pid = os.fork()
    if pid == 0:
        if STEP:
            scored = env.physics_step(np.ones((12, 3, 3), np.int64))
            env.predict_ball([5, 50])
            print(json.dumps({"child": scored.tolist()}), flush=True)
        sys.exit(3)
    _, status = os.waitpid(pid, 0)
    bench.join()
    print(json.dumps({"child_status": os.waitstatus_to_exitcode(status)}))
"""


@pytest.mark.parametrize("step", [True, False], ids=["child steps", "child only exits"])
def test_a_child_forked_beside_a_busy_pool_exits_normally(step):
    completed = run_child(f"STEP = {step}\n" + textwrap.dedent(FORK_THEN_EXIT))
    lines = [json.loads(line) for line in completed.stdout.splitlines()]
    assert lines[-1] == {"child_status": 3}
    assert len(lines) == (2 if step else 1)
    assert completed.stderr == ""


EXIT_WHILE_BENCHMARKS_RUN = """
    import sys, threading
    from zorbic_core import VecEnv

    envs = [VecEnv(8, 2, 2), VecEnv(5, 1, 0)]
    results = []
    threads = [threading.Thread(target=lambda e=e: results.append(e.rollout_bench(N_STEPS)), daemon=DAEMON)
               for e in envs]
    for thread in threads:
        thread.start()
    for env in envs:
        while True:
            try:
                env.n_envs
            except RuntimeError:
                break
    if RAISE:
        raise SystemExit("leaving with an error")
    if not DAEMON:
        # The interpreter waits for these threads before it shuts down.
        import atexit
        atexit.register(lambda: print(sorted(results)))
"""


@pytest.mark.parametrize(
    "daemon, raise_, n_steps, status, stdout",
    [
        (False, False, 20_000, 0, "[100000, 160000]\n"),
        (True, False, 10**9, 0, ""),
        (True, True, 10**9, 1, ""),
    ],
    ids=["waits for its threads", "daemon benchmarks", "exits with an error"],
)
def test_the_interpreter_ends_cleanly_while_two_benchmarks_run(daemon, raise_, n_steps, status, stdout):
    script = f"N_STEPS, DAEMON, RAISE = {n_steps}, {daemon}, {raise_}\n" + textwrap.dedent(EXIT_WHILE_BENCHMARKS_RUN)
    completed = run_child(script, expect_status=status)
    assert completed.stdout == stdout
    assert completed.stderr == ("leaving with an error\n" if raise_ else "")
