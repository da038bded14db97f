"""Building a batch: validation and its order, the stadium text, refusing
batches that cannot fit in memory, the properties, and releasing the envs."""

import pathlib
import resource
import sys
import threading

import numpy as np
import pytest

from zorbic_core import VecEnv

CLASSIC_TEXT = (pathlib.Path(__file__).resolve().parent.parent / "data" / "classic.zsm").read_text("utf-8")
DEFAULT_MAX_SPEED = 0.96 * 0.1 / (1 - 0.1)


def build_classic(*args, **kwargs):
    return VecEnv(*args, **kwargs)


def build_from_text(*args, **kwargs):
    return VecEnv.from_zsm(CLASSIC_TEXT, *args, **kwargs)


BUILDERS = pytest.mark.parametrize("build", [build_classic, build_from_text], ids=["classic", "from_zsm"])


@BUILDERS
@pytest.mark.parametrize(
    "counts, message",
    [
        ((0, 1, 1), "n_envs must be >= 1"),
        ((0, 0, 0), "n_envs must be >= 1"),
        ((0, 40, 0), "n_envs must be >= 1"),
        ((4, 0, 0), "n_red + n_blue must be >= 1"),
        ((8, 16, 17), "n_red + n_blue = 33 exceeds the max of 32 players"),
        ((1, 33, 0), "n_red + n_blue = 33 exceeds the max of 32 players"),
        ((1, 0, 40), "n_red + n_blue = 40 exceeds the max of 32 players"),
        ((1, 2**64 - 1, 2), "n_red + n_blue = 18446744073709551617 exceeds the max of 32 players"),
        ((1, 2**64 - 1, 2**64 - 1), "n_red + n_blue = 36893488147419103230 exceeds the max of 32 players"),
        ((1, 2**63, 2**63), "n_red + n_blue = 18446744073709551616 exceeds the max of 32 players"),
    ],
)
def test_validation_messages_and_order(build, counts, message):
    with pytest.raises(ValueError) as failure:
        build(*counts)
    assert str(failure.value) == message


@BUILDERS
@pytest.mark.parametrize(
    "counts, n_players, obs_dim",
    [
        ((1, 1, 0), 1, 12),
        ((1, 0, 1), 1, 12),
        ((3, 1, 1), 2, 16),
        ((8, 3, 3), 6, 32),
        ((2, 16, 16), 32, 136),
        ((2, 0, 32), 32, 136),
    ],
)
def test_counts_and_properties(build, counts, n_players, obs_dim):
    env = build(*counts)
    assert (env.n_envs, env.n_players, env.obs_dim) == (counts[0], n_players, obs_dim)
    assert all(type(value) is int for value in (env.n_envs, env.n_players, env.obs_dim))


@BUILDERS
@pytest.mark.parametrize("n_red, n_blue", [(1, 0), (0, 1), (0, 3), (2, 5)])
def test_player_max_speed_of_the_default_physics(build, n_red, n_blue):
    speed = build(2, n_red, n_blue).player_max_speed
    assert type(speed) is float
    assert speed == 0.10666666666666666 == DEFAULT_MAX_SPEED


@pytest.mark.parametrize("acceleration, damping", [(0.2, 0.9), (0.3, 0.7), (0.07, 0.99)])
def test_player_max_speed_follows_the_stadium(acceleration, damping):
    text = f'{{"playerPhysics": {{"acceleration": {acceleration}, "damping": {damping}}}}}'
    speed = VecEnv.from_zsm(text, 1, 0, 2).player_max_speed
    assert speed == damping * acceleration / (1 - acceleration)


def test_player_max_speed_grouping_is_the_documented_one():
    # Grouping the division first would give the neighbouring double.
    assert 0.96 * (0.1 / (1 - 0.1)) != DEFAULT_MAX_SPEED


@pytest.mark.parametrize("value", [True, np.int64(1), np.uint8(1)])
def test_counts_accept_index_objects(value):
    env = VecEnv(value, value, 0, step_limit=value, tick_skip=value)
    assert (env.n_envs, env.n_players) == (1, 1)


@pytest.mark.parametrize("tick_skip, ticks", [(0, 1), (1, 1), (3, 3)])
def test_tick_skip_zero_means_one_tick(tick_skip, ticks):
    env = VecEnv(2, 1, 1, tick_skip=tick_skip)
    env.physics_step(np.zeros((2, 2, 3), np.int64))
    assert env.snapshot()[4].tolist() == [ticks, ticks]


@pytest.mark.parametrize("step_limit", [0, 1, 2**64 - 1])
def test_step_limit_is_accepted_and_changes_nothing(step_limit):
    env = VecEnv(2, 1, 1, step_limit=step_limit)
    reference = VecEnv(2, 1, 1)
    actions = np.ones((2, 2, 3), np.int64)
    for _ in range(5):
        assert env.physics_step(actions).tolist() == reference.physics_step(actions).tolist()
    for ours, theirs in zip(env.snapshot(), reference.snapshot()):
        assert np.array_equal(ours, theirs)


def assert_same_state(first, second):
    for ours, theirs in zip(first.snapshot(), second.snapshot()):
        assert ours.tobytes() == theirs.tobytes()
    assert np.array_equal(first.teams(), second.teams())


def test_classic_constructor_equals_from_zsm_on_the_classic_text():
    assert_same_state(VecEnv(2, 1, 1), VecEnv.from_zsm(CLASSIC_TEXT, 2, 1, 1))


@BUILDERS
def test_envs_start_identical_and_are_independent(build):
    env = build(3, 2, 2)
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    for array in (ball_pos, ball_vel, player_pos, player_vel, steps):
        assert all(np.array_equal(array[0], array[i]) for i in range(3))
    # Moving the ball of env 1 only must leave envs 0 and 2 as they were.
    ball_vel = ball_vel.copy()
    ball_vel[1] = (5.0, 0.0)
    env.set_state(ball_pos, ball_vel, player_pos, player_vel, steps)
    env.physics_step(np.zeros((3, 4, 3), np.int64))
    after = env.snapshot()[0]
    assert np.array_equal(after[0], after[2])
    assert not np.array_equal(after[0], after[1])


def test_from_zsm_accepts_str_subclasses_and_non_ascii_text():
    class Text(str):
        pass

    env = VecEnv.from_zsm(Text('{"name": "Clássico ⚽"}'), 1, 1, 0)
    assert env.n_players == 1


@pytest.mark.parametrize(
    "zsm, type_name", [(b"{}", "bytes"), (None, "NoneType"), (1, "int"), (bytearray(b"{}"), "bytearray")]
)
def test_zsm_must_be_a_str(zsm, type_name):
    with pytest.raises(TypeError) as failure:
        VecEnv.from_zsm(zsm, 1, 1, 0)
    assert str(failure.value) == f"argument 'zsm': '{type_name}' object cannot be converted to 'PyString'"


def test_zsm_with_lone_surrogates_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        VecEnv.from_zsm('{"name": "\ud800"}', 1, 1, 0)


def test_zsm_converts_before_the_counts():
    with pytest.raises(TypeError, match="argument 'zsm'"):
        VecEnv.from_zsm(1, 2.0, -1, 1)


@pytest.mark.parametrize(
    "text, message",
    [
        ("not json", "bad .zsm JSON: "),
        ("", "bad .zsm JSON: "),
        ("   \n", "bad .zsm JSON: "),
        ("{} trailing", "bad .zsm JSON: "),
        ('{"ballPhysics": "ball"}', "ballPhysics ref \"ball\" is not 'discN'"),
        ('{"ballPhysics": "disc0"}', "ballPhysics disc0 references a missing disc"),
        (
            '{"vertexes": [{"x": 0, "y": 0}], "segments": [{"v0": 0, "v1": 1}]}',
            "segment references missing vertex 0 / 1",
        ),
    ],
)
def test_bad_stadium_text_is_a_value_error_with_the_readers_message(text, message):
    with pytest.raises(ValueError) as failure:
        VecEnv.from_zsm(text, 1, 1, 0)
    assert type(failure.value) is ValueError
    if message.endswith(": "):
        assert str(failure.value).startswith(message) and len(str(failure.value)) > len(message)
    else:
        assert str(failure.value) == message


def test_counts_are_validated_before_the_text_is_read():
    with pytest.raises(ValueError, match="^n_envs must be >= 1$"):
        VecEnv.from_zsm("not json", 0, 1, 1)
    with pytest.raises(ValueError, match="^n_red \\+ n_blue must be >= 1$"):
        VecEnv.from_zsm("not json", 1, 0, 0)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


@BUILDERS
@pytest.mark.parametrize("n_envs", [10**12, 2**63, 2**64 - 1])
def test_batches_beyond_memory_are_refused_before_allocating(build, n_envs):
    before = resident_bytes()
    with pytest.raises(MemoryError) as failure:
        build(n_envs, 1, 1)
    assert str(n_envs) in str(failure.value)
    assert resident_bytes() - before < 64 * 2**20


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# The sanitizer holds freed memory back in quarantine on purpose, so the
# resident size cannot show that it was released.
@pytest.mark.skipif(address_sanitizer_loaded(), reason="freed memory is quarantined")
def test_envs_are_released_with_the_object():
    VecEnv(2000, 3, 3)  # warm up the allocator
    before = resident_bytes()
    for _ in range(30):
        env = VecEnv(2000, 3, 3)
        assert env.n_envs == 2000
        del env
    # 30 batches of 2000 envs held at once would be far more than this.
    assert resident_bytes() - before < 32 * 2**20


def test_constructor_results_hold_only_their_own_reference():
    env = VecEnv(1, 1, 0)
    assert sys.getrefcount(env) == 2
    other = VecEnv.from_zsm("{}", 1, 1, 0)
    assert sys.getrefcount(other) == 2


def test_properties_leak_no_references():
    env = VecEnv(300, 3, 2)
    counts = [sys.getrefcount(env)]
    for _ in range(1000):
        env.n_envs, env.n_players, env.obs_dim, env.player_max_speed
    counts.append(sys.getrefcount(env))
    assert counts[0] == counts[1]


def test_properties_take_a_shared_borrow():
    # A shared borrow conflicts only with an exclusive one, which is held
    # across the benchmark loop while it runs without the interpreter lock.
    env = VecEnv(64, 3, 3)
    seen = []
    stop = threading.Event()

    def bench():
        while not stop.is_set():
            env.rollout_bench(2000)

    worker = threading.Thread(target=bench)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    worker.start()
    try:
        for _ in range(200_000):
            try:
                env.n_envs
            except RuntimeError as error:
                seen.append(str(error))
                break
    finally:
        stop.set()
        worker.join()
        sys.setswitchinterval(old_interval)
    assert seen == ["Already mutably borrowed"]
    # The borrow is gone once the loop has finished.
    assert env.n_envs == 64
