"""The worker pool as a process sees it: its size from the environment,
results independent of that size, fork() and interpreter shutdown.

Each case runs in a child interpreter: the pool is sized once per process,
and a fork or a shutdown that hangs must fail the test, not stall the run.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

CHILD_TIMEOUT = 120  # seconds; only a hang comes near it


def run_child(script, num_threads=None, rs_num_cpus=None, expect_ok=True):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    # Keep NumPy's own math threads out of the thread counts.
    env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    if num_threads is not None:
        env["RAYON_NUM_THREADS"] = num_threads
    if rs_num_cpus is not None:
        env["RAYON_RS_NUM_CPUS"] = rs_num_cpus
    completed = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", textwrap.dedent(script)],
        env=env,
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT,
    )
    if expect_ok:
        assert completed.returncode == 0, completed.stderr
    return completed


def child_json(script, **kwargs):
    return json.loads(run_child(script, **kwargs).stdout.strip().splitlines()[-1])


# ---- waiting ---------------------------------------------------------------

# CPU seconds the process spends while its pool has nothing to do, after
# steps that leave its threads watching for more work.
IDLE_CPU = """
    import json, resource, time
    import numpy as np
    import zorbic_core
    env = zorbic_core.VecEnv(256, 1, 1)
    actions = np.zeros((256, 2, 3), np.int64)
    for _ in range(20):
        env.physics_step(actions)
    time.sleep(0.2)  # far beyond any watch
    def cpu():
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime
    before = cpu()
    time.sleep(0.5)
    print(json.dumps({"idle_cpu_seconds": cpu() - before}))
"""


@pytest.mark.parametrize("num_threads", ["1", "2"])
def test_an_idle_pool_stops_watching_for_work(num_threads):
    # Threads that watched for ever would burn a core each for the life of
    # the process; blocked ones use none.
    idle = child_json(IDLE_CPU, num_threads=num_threads)["idle_cpu_seconds"]
    assert idle < 0.1


# ---- pool size -----------------------------------------------------------

COUNT_THREADS = """
    import json, os
    import numpy as np
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    import zorbic_core
    env = zorbic_core.VecEnv(64, 1, 1)
    constructed = threads()
    env.physics_step(np.zeros((64, 2, 3), np.int64))
    started = threads()
    # The size was fixed when the pool started.
    os.environ["RAYON_NUM_THREADS"] = "9"
    env.reset_mask(np.ones(64, bool))
    env.rollout_bench(3)
    print(json.dumps({"at_import_and_construction": constructed - before, "pool": started - before,
                      "later": threads() - before, "default": len(os.sched_getaffinity(0))}))
"""

DEFAULT = "default"

ONE_ENV = """
    import json, os
    import numpy as np
    import zorbic_core
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    one = zorbic_core.VecEnv(1, 3, 3)
    for _ in range(20):
        one.physics_step(np.ones((1, 6, 3), np.int64))
    one.reset_mask(np.ones(1, bool))
    alone = threads() - before
    zorbic_core.VecEnv(2, 1, 1).physics_step(np.zeros((2, 2, 3), np.int64))
    print(json.dumps({"one_env": alone, "two_envs": threads() - before}))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
def test_a_single_env_steps_on_the_calling_thread():
    counts = child_json(ONE_ENV, num_threads="2")
    # A thread sanitizer adds a thread of its own to the pool's two.
    assert counts["one_env"] == 0 and counts["two_envs"] >= 2


FIRST_RESET = """
    import json, os
    import numpy as np
    import zorbic_core
    def threads():
        return len(os.listdir("/proc/self/task"))
    env = zorbic_core.VecEnv(8, 1, 1)
    before = threads()
    env.reset_mask(np.ones(8, bool))
    print(json.dumps({"pool": threads() - before}))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
def test_a_masked_reset_of_several_envs_runs_on_the_pool():
    # It is a parallel operation like physics_step: the first one starts the pool.
    assert child_json(FIRST_RESET, num_threads="2")["pool"] >= 2


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, expected",
    [
        ("3", None, 3),
        ("+3", "5", 3),
        ("007", None, 7),
        ("1", "5", 1),
        ("0", "5", DEFAULT),
        ("abc", "5", 5),
        ("", "2", 2),
        (" 3", "4", 4),
        ("3 ", "4", 4),
        ("-3", "4", 4),
        ("++3", "4", 4),
        ("+", "4", 4),
        ("3.0", "4", 4),
        ("0x10", "4", 4),
        ("18446744073709551616", "6", 6),  # beyond 64 bits: unparsable
        (None, "7", 7),
        (None, "+2", 2),
        (None, "0", DEFAULT),
        (None, "-1", DEFAULT),
        (None, None, DEFAULT),
        ("1000000000", None, 1024),  # absurd requests are capped
    ],
)
def test_pool_size_follows_the_environment(num_threads, rs_num_cpus, expected):
    counts = child_json(COUNT_THREADS, num_threads=num_threads, rs_num_cpus=rs_num_cpus)
    if expected == DEFAULT:
        expected = counts["default"]
    assert counts == {
        "at_import_and_construction": 0,
        "pool": expected,
        "later": expected,
        "default": counts["default"],
    }


# ---- results do not depend on the pool size ------------------------------

DIGEST_OF_A_TRAINING_RUN = """
    import hashlib, json
    import numpy as np
    from zorbic_core import VecEnv
    digest = hashlib.sha256()
    rng = np.random.default_rng(21)
    env = VecEnv(48, 2, 2)
    goals = 0
    for _ in range(150):
        actions = rng.integers(-1, 2, size=(48, 4, 3), dtype=np.int64)
        actions[:, :, 2] = rng.integers(0, 3, size=(48, 4))
        scored = env.physics_step(actions)
        digest.update(scored.tobytes())
        done = scored >= 0
        goals += int(done.sum())
        env.reset_mask(done)
    for part in env.snapshot():
        digest.update(part.tobytes())
    bench = VecEnv(37, 3, 3)
    bench.rollout_bench(500)
    for part in bench.snapshot():
        digest.update(part.tobytes())
    print(json.dumps({"digest": digest.hexdigest(), "goals": goals}))
"""


def test_results_are_identical_for_every_pool_size():
    runs = {n: child_json(DIGEST_OF_A_TRAINING_RUN, num_threads=n) for n in ("1", "2", "3", "4", "7")}
    assert len({json.dumps(run) for run in runs.values()}) == 1, runs


# ---- fork ----------------------------------------------------------------

FORK_AFTER_STEPPING = """
    import hashlib, json, os, threading
    import numpy as np
    from zorbic_core import VecEnv

    def digest(env):
        return hashlib.sha256(b"".join(part.tobytes() for part in env.snapshot())).hexdigest()

    env = VecEnv(32, 2, 2)
    actions = np.ones((32, 4, 3), np.int64)
    for _ in range(5):
        env.physics_step(actions)  # the pool is running now

    busy = VecEnv(16, 3, 3)
    if BUSY:
        # Fork while another thread has a job on the pool.
        bench = threading.Thread(target=busy.rollout_bench, args=(200_000,))
        bench.start()
        while True:
            try:
                busy.n_envs
            except RuntimeError:
                break

    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        env.physics_step(actions)
        env.reset_mask(np.arange(32) % 2 == 0)
        fresh = VecEnv(4, 1, 1)
        fresh.rollout_bench(50)
        try:
            busy.snapshot()
            busy_state = "free"
        except RuntimeError as error:
            busy_state = str(error)
        report = {"env": digest(env), "fresh": digest(fresh), "busy": busy_state}
        os.write(write_end, json.dumps(report).encode())
        os._exit(0)

    os.close(write_end)
    env.physics_step(actions)
    env.reset_mask(np.arange(32) % 2 == 0)
    fresh = VecEnv(4, 1, 1)
    fresh.rollout_bench(50)
    with os.fdopen(read_end) as pipe:
        child = json.loads(pipe.read())
    _, status = os.waitpid(pid, 0)
    if BUSY:
        bench.join()
    print(json.dumps({"status": status, "child": child,
                      "parent": {"env": digest(env), "fresh": digest(fresh)}}))
"""


@pytest.mark.parametrize("busy", [False, True], ids=["pool idle", "pool busy in another thread"])
def test_a_forked_child_steps_on_a_pool_of_its_own(busy):
    result = child_json(f"BUSY = {busy}\n" + textwrap.dedent(FORK_AFTER_STEPPING))
    assert result["status"] == 0
    assert result["child"]["env"] == result["parent"]["env"]
    assert result["child"]["fresh"] == result["parent"]["fresh"]
    # The benchmark's borrow was copied with the memory; its thread was not.
    assert result["child"]["busy"] == ("Already mutably borrowed" if busy else "free")


MULTIPROCESSING_FORK = """
    import hashlib, json, multiprocessing
    import numpy as np
    from zorbic_core import VecEnv

    def work(seed):
        rng = np.random.default_rng(seed)
        env = VecEnv(24, 2, 1)
        scored = []
        for _ in range(30):
            result = env.physics_step(rng.integers(-1, 3, size=(24, 3, 3), dtype=np.int64))
            scored.append(result.tobytes())
        env.reset_mask(rng.integers(0, 2, size=24).astype(bool))
        parts = scored + [part.tobytes() for part in env.snapshot()]
        return hashlib.sha256(b"".join(parts)).hexdigest()

    if __name__ == "__main__":
        expected = [work(seed) for seed in range(6)]  # starts the pool here first
        with multiprocessing.get_context("fork").Pool(3) as pool:
            results = pool.map(work, range(6))
        print(json.dumps(results == expected))
"""


def test_a_fork_multiprocessing_pool_steps_batches(tmp_path):
    script = tmp_path / "fork_pool.py"
    script.write_text(textwrap.dedent(MULTIPROCESSING_FORK))
    assert child_json(f"import runpy; runpy.run_path({str(script)!r}, run_name='__main__')") is True


# ---- interpreter shutdown ------------------------------------------------

EXIT_WITH_IDLE_POOL = """
    import numpy as np
    from zorbic_core import VecEnv
    env = VecEnv(16, 1, 1)
    env.physics_step(np.zeros((16, 2, 3), np.int64))
    print("stepped")
"""

# The interpreter shuts down while a daemon thread's benchmark still runs on
# the pool. The object collected during shutdown sleeps long enough for the
# benchmark to finish and try to come back into the interpreter.
EXIT_WITH_BUSY_POOL = """
    import threading, time
    import numpy as np
    from zorbic_core import VecEnv

    class SlowToDie:
        def __del__(self):
            time.sleep(SLEEP)

    env = VecEnv(16, 2, 2)
    bench = threading.Thread(target=env.rollout_bench, args=(N_STEPS,), daemon=True)
    bench.start()
    while True:
        try:
            env.n_envs
        except RuntimeError:
            break
    keep = SlowToDie()
    print("leaving")
"""


@pytest.mark.parametrize(
    "script",
    [
        EXIT_WITH_IDLE_POOL,
        "N_STEPS, SLEEP = 10**9, 0\n" + textwrap.dedent(EXIT_WITH_BUSY_POOL),
        "N_STEPS, SLEEP = 2_000, 1.5\n" + textwrap.dedent(EXIT_WITH_BUSY_POOL),
    ],
    ids=["idle pool", "busy pool", "benchmark ends during shutdown"],
)
def test_interpreter_shutdown_with_a_pool_exits_cleanly(script):
    completed = run_child(script, num_threads="2", expect_ok=False)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout.strip() in ("stepped", "leaving")
