"""Memory: nothing leaks, whether a call succeeds or is refused, and the few
operations whose size the caller chooses stay within what they must hold.

How the checks see a leak:
- Python objects: tracemalloc counts every byte the interpreter's allocators
  hand out, the result arrays and tuples included, so a reference kept by
  mistake shows up as memory that the calls never give back;
- native memory: glibc's allocator statistics (mallinfo2) count the engine's
  and the module's own allocations, which tracemalloc does not see;
- reference counts of every argument and of the batch are compared before
  and after many calls, and each result must be held by its caller alone;
- whole-process: resident memory after 10,000 build-step-read-drop cycles.

The address sanitizer keeps freed memory in quarantine and replaces the
allocator, so the byte counts are skipped under it; reference counts are not.
"""

import ctypes
import gc
import json
import resource
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import zorbic_core
from zorbic_core import VecEnv


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in [
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        ]
    ]


def native_heap_reader():
    libc = ctypes.CDLL(None)
    if sanitizer_loaded() or not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = MallInfo2

    def in_use():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd  # small blocks plus mapped big ones

    return in_use


native_heap = native_heap_reader()
needs_allocator_stats = pytest.mark.skipif(native_heap is None, reason="needs glibc's allocator, unsanitized")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


N, P = 3, 3
ACTIONS = np.ones((N, P, 3), np.int64)
MASK = np.array([True, False, True])
OFFSETS = [1, 4, 4, 30]
BAD_ACTIONS = np.ones((N, P, 2), np.int64)
FLOAT_ACTIONS = np.ones((N, P, 3))
BIG = 2**70
TEXT = json.dumps(
    {
        "vertexes": [{"x": 0, "y": 0}, {"x": 50, "y": 10}],
        "segments": [{"v0": 0, "v1": 1, "curve": 40}],
        "discs": [{"pos": [20, 30]}],
    }
)
BAD_TEXT = '{"segments": [{"v0": 0, "v1": 1}]}'
PAIR = (1.5, -2.5)


def state_args(env):
    return env.snapshot()


# Each case: a name and a function of the batch that returns the call to
# repeat and the objects whose reference counts must not change.
CASES = {
    "VecEnv": lambda env: (lambda: VecEnv(2, 1, 2, step_limit=BIG % 1000), []),
    "from_zsm": lambda env: (lambda: VecEnv.from_zsm(TEXT, 2, 2, 1, tick_skip=3), [TEXT]),
    "n_envs etc.": lambda env: (lambda: (env.n_envs, env.n_players, env.obs_dim, env.player_max_speed), [env]),
    "reset_all": lambda env: (env.reset_all, [env]),
    "reset_mask": lambda env: (lambda: env.reset_mask(MASK), [env, MASK]),
    "physics_step": lambda env: (lambda: env.physics_step(ACTIONS), [env, ACTIONS]),
    "physics_step by keyword": lambda env: (lambda: env.physics_step(actions=ACTIONS), [env, ACTIONS]),
    "snapshot": lambda env: (env.snapshot, [env]),
    "set_state": lambda env: ((lambda args: lambda: env.set_state(*args))(state_args(env)), [env, *state_args(env)]),
    "set_kick_rate_limit": lambda env: (lambda: env.set_kick_rate_limit(2, 0, 1), [env]),
    "set_player_cmask": lambda env: (lambda: env.set_player_cmask(2**62 + 39), [env]),
    "kick_state": lambda env: (env.kick_state, [env]),
    "teams": lambda env: (env.teams, [env]),
    "goals": lambda env: (env.goals, [env]),
    "wall_segments": lambda env: (env.wall_segments, [env]),
    "obstacle_discs": lambda env: (env.obstacle_discs, [env]),
    "predict_ball": lambda env: (lambda: env.predict_ball(OFFSETS), [env, OFFSETS]),
    "predict_ball array": lambda env: ((lambda o: lambda: env.predict_ball(o))(np.arange(1, 9)), [env]),
    "rollout_bench": lambda env: (lambda: env.rollout_bench(2), [env]),
    "disc_disc": lambda env: (lambda: zorbic_core.disc_disc(PAIR, (5, 0), PAIR, PAIR, 3, 4, 1, 1, 0.5, 0.5), [PAIR]),
    "disc_vertex": lambda env: (lambda: zorbic_core.disc_vertex(PAIR, (2, -2), PAIR, 5, 1, 1), [PAIR]),
    "segment_no_curve": lambda env: (lambda: zorbic_core.segment_no_curve(PAIR, (0, 0), (9, 0)), [PAIR]),
    "segment_curve": lambda env: (lambda: zorbic_core.segment_curve((0, 20), (0, 0), 10, (0, 1), (0, 1), 1), []),
    "disc_plane": lambda env: (lambda: zorbic_core.disc_plane(PAIR, (0, 1), PAIR, 0, 10, 0.5, 0.5), [PAIR]),
    # Refused calls, each failing at a different stage.
    "VecEnv refused": lambda env: (lambda: VecEnv(BIG, 1, 1), [BIG]),
    "VecEnv too many players": lambda env: (lambda: VecEnv(1, 30, 3), []),
    "from_zsm bad text": lambda env: (lambda: VecEnv.from_zsm(BAD_TEXT, 1, 1, 1), [BAD_TEXT]),
    "from_zsm syntax error": lambda env: (lambda: VecEnv.from_zsm(TEXT[:-3], 1, 1, 1), []),
    "physics_step shape": lambda env: (lambda: env.physics_step(BAD_ACTIONS), [env, BAD_ACTIONS]),
    "physics_step kind": lambda env: (lambda: env.physics_step(FLOAT_ACTIONS), [env, FLOAT_ACTIONS]),
    "physics_step binding": lambda env: (lambda: env.physics_step(ACTIONS, ACTIONS), [env, ACTIONS]),
    "reset_mask length": lambda env: (lambda: env.reset_mask(MASK[:2]), [env]),
    "set_state steps": lambda env: (
        (lambda args: lambda: env.set_state(*args[:4], MASK.astype(np.int64)[:2]))(state_args(env)),
        [env],
    ),
    "set_kick_rate_limit overflow": lambda env: (lambda: env.set_kick_rate_limit(1, 2, BIG), [env, BIG]),
    "set_player_cmask kind": lambda env: (lambda: env.set_player_cmask(PAIR), [env, PAIR]),
    "predict_ball negative": lambda env: (lambda: env.predict_ball([1, 2, -3]), [env]),
    "predict_ball str": lambda env: (lambda: env.predict_ball("abc"), [env]),
    "rollout_bench float": lambda env: (lambda: env.rollout_bench(1.5), [env]),
    "disc_disc list": lambda env: (lambda: zorbic_core.disc_disc([0, 0], PAIR, PAIR, PAIR, 1, 1, 1, 1, 1, 1), [PAIR]),
    "segment_curve length": lambda env: (lambda: zorbic_core.segment_curve(PAIR, (0, 0, 0), 1, PAIR, PAIR, 1), [PAIR]),
}


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except (TypeError, ValueError, OverflowError, MemoryError):
            pass


def played_batch():
    env = VecEnv.from_zsm(TEXT, N, 2, 1)
    env.physics_step(ACTIONS)
    return env


@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_calls_keep_no_reference_and_no_python_memory(make):
    env = played_batch()
    call, watched = make(env)
    repeat(call, 100)  # fills the interpreter's caches
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        repeat(call, 1000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # One object kept per call would be tens of kilobytes here.
    assert grown < 2000


@needs_allocator_stats
@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_calls_keep_no_native_memory(make):
    env = played_batch()
    call, _ = make(env)
    repeat(call, 100)
    gc.collect()
    before = native_heap()
    repeat(call, 1000)
    gc.collect()
    assert native_heap() - before < 16 * 1024


@pytest.mark.parametrize(
    "name",
    [
        "VecEnv",
        "from_zsm",
        "physics_step",
        "snapshot",
        "kick_state",
        "teams",
        "goals",
        "wall_segments",
        "obstacle_discs",
        "predict_ball",
        "disc_disc",
        "disc_vertex",
        "segment_no_curve",
        "segment_curve",
        "disc_plane",
    ],
)
def test_results_belong_to_the_caller(name):
    env = played_batch()
    call, _ = CASES[name](env)
    result = call()
    # getrefcount's own argument is the second reference.
    assert sys.getrefcount(result) == 2
    if isinstance(result, tuple):
        held = [sys.getrefcount(result[i]) for i in range(len(result)) if isinstance(result[i], (tuple, np.ndarray))]
        assert held == [2] * len(held)


# ---- whole cycles ---------------------------------------------------------------


def one_cycle(i):
    n = 1 + i % 3
    env = VecEnv(n, 1, 1) if i % 2 else VecEnv.from_zsm(TEXT, n, 1, 1, tick_skip=2)
    actions = np.ones((n, 2, 3), np.int64)
    scored = env.physics_step(actions)
    env.reset_mask(scored >= 0)
    state = env.snapshot()
    env.set_state(*state)
    env.predict_ball([1, 2, 10])
    env.kick_state(), env.teams(), env.goals(), env.wall_segments(), env.obstacle_discs()
    try:
        env.physics_step(actions[:, :1])
    except ValueError:
        pass
    try:
        VecEnv.from_zsm(BAD_TEXT, 1, 1, 1)
    except ValueError:
        pass


@needs_allocator_stats
def test_ten_thousand_cycles_keep_memory_flat():
    for i in range(300):
        one_cycle(i)
    gc.collect()
    heap, resident = native_heap(), resident_bytes()
    for i in range(10_000):
        one_cycle(i)
    gc.collect()
    heap_growth, resident_growth = native_heap() - heap, resident_bytes() - resident
    # A batch is several kilobytes: keeping one per cycle would be tens of
    # megabytes.
    assert heap_growth < 64 * 1024, heap_growth
    assert resident_growth < 4 * 2**20, resident_growth


# ---- what big requests cost -------------------------------------------------------


def test_a_batch_of_big_envs_beyond_memory_is_refused_before_allocating():
    # Each env of this stadium holds 300,000 segments (tens of megabytes), so
    # a thousand of them exceed any machine this runs on; the refusal must
    # come from the size, not from running out of memory on the way.
    text = json.dumps({"vertexes": [{"x": 0, "y": 0}, {"x": 1, "y": 1}], "segments": [{"v0": 0, "v1": 1}] * 300_000})
    before = resident_bytes()
    with pytest.raises(MemoryError):
        VecEnv.from_zsm(text, 100_000, 1, 1)
    assert resident_bytes() - before < 512 * 2**20


CHILD_TIMEOUT = 120


def peak_growth_of(setup, call):
    """Runs `call` in a fresh interpreter after `setup` and returns how far
    it pushed the process's peak resident size, in bytes."""
    script = textwrap.dedent(f"""
        import json, resource
        import numpy as np
        from zorbic_core import VecEnv
        {setup}
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = {call}
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
        print(json.dumps([grown * 1024, result.nbytes, list(result.shape)]))
    """)
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


sanitizer_skews_memory = pytest.mark.skipif(sanitizer_loaded(), reason="the sanitizer's shadow memory")


@sanitizer_skews_memory
@pytest.mark.parametrize(
    "stadium, velocity",
    [
        ('{"ballPhysics": {"damping": 1}}', (0.25, -0.5)),  # moving for ever, nothing to meet
        ('{"ballPhysics": {"invMass": 0}, "planes": [{"normal": [1, 0], "dist": -5}]}', (-1.0, 0.0)),  # through walls
        ("{}", (0.0, 0.0)),  # at rest
    ],
)
def test_a_far_offset_costs_time_not_memory(stadium, velocity):
    # Twenty million ticks: a record of every tick would take 320 MB.
    setup = f"""
        env = VecEnv.from_zsm({stadium!r}, 1, 1, 0)
        b, v, p, pv, _ = env.snapshot()
        env.set_state(b, np.array([{list(velocity)}]), p, pv)
    """
    grown, _, shape = peak_growth_of(setup, "env.predict_ball([3, 20_000_000])")
    assert shape == [1, 2, 2]
    assert grown < 16 * 2**20


@sanitizer_skews_memory
def test_many_offsets_cost_their_result_and_no_more():
    # K = 2,000,000 offsets on 4 envs: the result is 128 MB; the call may also
    # hold the offsets themselves and K positions per env, nothing that grows
    # with the number of ticks.
    k = 2_000_000
    setup = f"""
        env = VecEnv(4, 1, 1)
        offsets = list(range(1, {k} + 1))
    """
    grown, result_bytes, shape = peak_growth_of(setup, "env.predict_ball(offsets)")
    assert shape == [4, k, 2] and result_bytes == 4 * k * 16
    assert grown < result_bytes + 4 * k * 16 + k * 8 + 32 * 2**20
