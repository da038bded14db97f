"""The shared boundary rules: binding arguments to parameters, converting
them, the messages of both, and that no call leaks references."""

import sys

import numpy as np
import pytest

import zorbic_core
from zorbic_core import VecEnv

CLASSIC_ARGS = (1, 1, 0)

# (name in messages, how to reach the callable from an env, parameters, required)
CALLABLES = [
    ("VecEnv.__new__()", lambda env: VecEnv, ["n_envs", "n_red", "n_blue", "step_limit", "tick_skip"], 3),
    (
        "VecEnv.from_zsm()",
        lambda env: VecEnv.from_zsm,
        ["zsm", "n_envs", "n_red", "n_blue", "step_limit", "tick_skip"],
        4,
    ),
    ("VecEnv.reset_mask()", lambda env: env.reset_mask, ["mask"], 1),
    ("VecEnv.physics_step()", lambda env: env.physics_step, ["actions"], 1),
    ("VecEnv.set_state()", lambda env: env.set_state, ["ball_pos", "ball_vel", "player_pos", "player_vel", "steps"], 4),
    ("VecEnv.set_kick_rate_limit()", lambda env: env.set_kick_rate_limit, ["min", "cost", "cap"], 3),
    ("VecEnv.set_player_cmask()", lambda env: env.set_player_cmask, ["mask"], 1),
    ("VecEnv.predict_ball()", lambda env: env.predict_ball, ["offsets"], 1),
    ("VecEnv.rollout_bench()", lambda env: env.rollout_bench, ["n_steps"], 1),
    (
        "disc_disc()",
        lambda env: zorbic_core.disc_disc,
        ["pa", "pb", "va", "vb", "ra", "rb", "ima", "imb", "ba", "bb"],
        10,
    ),
    ("disc_vertex()", lambda env: zorbic_core.disc_vertex, ["pd", "pv", "v", "radius", "bd", "bv"], 6),
    ("segment_no_curve()", lambda env: zorbic_core.segment_no_curve, ["pd", "v0", "v1"], 3),
    ("segment_curve()", lambda env: zorbic_core.segment_curve, ["pd", "c", "cr", "t0", "t1", "curve"], 6),
    ("disc_plane()", lambda env: zorbic_core.disc_plane, ["pd", "normal", "v", "dist", "radius", "bd", "bp"], 7),
]
IDS = [entry[0] for entry in CALLABLES]


@pytest.fixture
def env():
    return VecEnv(*CLASSIC_ARGS)


class Opaque:
    """An argument that no conversion accepts; binding errors must come first."""


def quoted_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


MISSING_CASES = [
    pytest.param(name, call, params[given:required], given, id=f"{name}-{given}")
    for name, call, params, required in CALLABLES
    for given in (0, 1)
    if given < required
]


@pytest.mark.parametrize("name, call, missing, given", MISSING_CASES)
def test_missing_required_arguments(env, name, call, missing, given):
    plural = "s" if len(missing) > 1 else ""
    expected = f"{name} missing {len(missing)} required positional argument{plural}: {quoted_list(missing)}"
    with pytest.raises(TypeError) as failure:
        call(env)(*[Opaque()] * given)
    assert str(failure.value) == expected


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (
            lambda env: VecEnv,
            (4,),
            {},
            "VecEnv.__new__() missing 2 required positional arguments: 'n_red' and 'n_blue'",
        ),
        (
            lambda env: VecEnv,
            (),
            {"n_red": 1},
            "VecEnv.__new__() missing 2 required positional arguments: 'n_envs' and 'n_blue'",
        ),
        (
            lambda env: VecEnv.from_zsm,
            ("{}",),
            {"n_blue": 1},
            "VecEnv.from_zsm() missing 2 required positional arguments: 'n_envs' and 'n_red'",
        ),
        (
            lambda env: env.set_state,
            (),
            {"player_vel": None},
            "VecEnv.set_state() missing 3 required positional arguments: 'ball_pos', 'ball_vel', and 'player_pos'",
        ),
        (
            lambda env: zorbic_core.segment_no_curve,
            ((0, 0),),
            {},
            "segment_no_curve() missing 2 required positional arguments: 'v0' and 'v1'",
        ),
    ],
)
def test_missing_arguments_given_by_keyword_are_not_reported(env, call, args, kwargs, message):
    with pytest.raises(TypeError) as failure:
        call(env)(*args, **kwargs)
    assert str(failure.value) == message


@pytest.mark.parametrize("name, call, params, required", CALLABLES, ids=IDS)
def test_too_many_positional_arguments(env, name, call, params, required):
    given = len(params) + 1
    takes = str(len(params)) if required == len(params) else f"from {required} to {len(params)}"
    with pytest.raises(TypeError) as failure:
        call(env)(*[Opaque()] * given)
    assert str(failure.value) == f"{name} takes {takes} positional arguments but {given} were given"


def test_too_many_positional_arguments_example():
    with pytest.raises(TypeError) as failure:
        VecEnv(4, 1, 1, 2400, 8, 0)
    assert str(failure.value) == "VecEnv.__new__() takes from 3 to 5 positional arguments but 6 were given"


@pytest.mark.parametrize("name, call, params, required", CALLABLES, ids=IDS)
def test_unexpected_keyword(env, name, call, params, required):
    args = [Opaque()] * required
    with pytest.raises(TypeError) as failure:
        call(env)(*args, tick_skp=8)
    assert str(failure.value) == f"{name} got an unexpected keyword argument 'tick_skp'"


@pytest.mark.parametrize("name, call, params, required", CALLABLES, ids=IDS)
def test_multiple_values(env, name, call, params, required):
    args = [Opaque()] * required
    with pytest.raises(TypeError) as failure:
        call(env)(*args, **{params[0]: Opaque()})
    assert str(failure.value) == f"{name} got multiple values for argument '{params[0]}'"


def test_constructor_multiple_values_example():
    with pytest.raises(TypeError) as failure:
        VecEnv(4, 1, 1, n_envs=2)
    assert str(failure.value) == "VecEnv.__new__() got multiple values for argument 'n_envs'"


def test_keywords_are_matched_by_name_in_any_order():
    by_position = VecEnv(3, 2, 1, 100, 4)
    by_keyword = VecEnv(tick_skip=4, n_blue=1, step_limit=100, n_red=2, n_envs=3)
    assert (by_keyword.n_envs, by_keyword.n_players) == (by_position.n_envs, by_position.n_players)
    mixed = VecEnv(3, n_blue=1, n_red=2)
    assert (mixed.n_envs, mixed.n_players) == (3, 3)


def test_keyword_names_are_case_sensitive():
    with pytest.raises(TypeError, match="unexpected keyword argument 'N_envs'"):
        VecEnv(N_envs=1, n_red=1, n_blue=0)


# ---- conversions ----


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


def index_error_with_cause():
    try:
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("bad index") from inner
    except TypeError as error:
        return error


def test_type_error_is_prefixed_and_keeps_its_cause():
    original = index_error_with_cause()
    with pytest.raises(TypeError) as failure:
        VecEnv(IndexRaises(original), 1, 1)
    assert str(failure.value) == "argument 'n_envs': bad index"
    assert type(failure.value) is TypeError
    assert failure.value is not original
    assert failure.value.__cause__ is original.__cause__
    assert isinstance(failure.value.__cause__, KeyError)


@pytest.mark.parametrize(
    "error",
    [
        OverflowError("too big"),
        ValueError("no"),
        TypeErrorSubclass("special"),
        ZeroDivisionError("x"),
    ],
)
def test_other_conversion_errors_pass_unchanged(error):
    with pytest.raises(type(error)) as failure:
        VecEnv(1, IndexRaises(error), 1)
    assert failure.value is error
    assert str(failure.value) == str(error)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2.0, TypeError, "argument 'n_envs': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'n_envs': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'n_envs': 'NoneType' object cannot be interpreted as an integer"),
        (np.float64(1.0), TypeError, "argument 'n_envs': 'numpy.float64' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
    ],
)
def test_unsigned_conversion_messages(value, error, message):
    with pytest.raises(error) as failure:
        VecEnv(value, 1, 1)
    assert type(failure.value) is error
    assert str(failure.value) == message


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, 1),
        (np.int64(3), 3),
        (np.uint8(2), 2),
        (np.uint64(5), 5),
    ],
)
def test_unsigned_conversion_accepts_index_objects(value, expected):
    assert VecEnv(value, 1, 0).n_envs == expected


def test_arguments_convert_in_parameter_order():
    # n_envs is a float (TypeError) and n_red negative (OverflowError): the
    # first parameter decides.
    with pytest.raises(TypeError, match="argument 'n_envs'"):
        VecEnv(1.5, -1, 1)
    with pytest.raises(OverflowError):
        VecEnv(1, -1, 1.5)
    with pytest.raises(TypeError, match="argument 'tick_skip'"):
        VecEnv(1, 1, 1, tick_skip=1.0, step_limit=2)
    with pytest.raises(TypeError, match="argument 'step_limit'"):
        VecEnv(1, 1, 1, tick_skip=1.0, step_limit=2.0)


def test_binding_precedes_conversion():
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        VecEnv(2.0, -1, None, bogus=1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'n_blue'"):
        VecEnv(2.0, -1)


def test_conversion_precedes_validation():
    # n_envs = 0 would be a ValueError, but n_blue does not even convert.
    with pytest.raises(TypeError, match="argument 'n_blue'"):
        VecEnv(0, 1, 2.0)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        (1.0, TypeError, "argument 'min': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'min': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_signed_conversion_failures(env, value, error, message):
    with pytest.raises(error) as failure:
        env.set_kick_rate_limit(value, 0, 1)
    assert type(failure.value) is error
    if message is not None:
        assert str(failure.value) == message


def test_signed_arguments_convert_in_order(env):
    with pytest.raises(TypeError, match="argument 'min'"):
        env.set_kick_rate_limit(1.5, 2**70, 0)
    with pytest.raises(OverflowError):
        env.set_kick_rate_limit(2**70, 1.5, 0)
    with pytest.raises(TypeError, match="argument 'cap'"):
        env.set_kick_rate_limit(0, 0, None)
    with pytest.raises(TypeError, match="argument 'mask'"):
        env.set_player_cmask(39.0)


def array_message(name, value):
    return f"argument '{name}': '{type(value).__name__}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "actions",
    [
        [[[0, 0, 0]]],
        (((0, 0, 0),),),
        np.zeros((1, 1), np.int64),
        np.zeros((1, 1, 3, 1), np.int64),
        np.zeros((1, 1, 3), np.float64),
        np.zeros((1, 1, 3), np.int32),
        np.zeros((1, 1, 3), np.uint64),
        np.zeros((1, 1, 3), ">i8" if sys.byteorder == "little" else "<i8"),
        np.int64(0),
    ],
    ids=["list", "tuple", "2d", "4d", "float64", "int32", "uint64", "byteswapped", "scalar"],
)
def test_array_arguments_of_the_wrong_kind(env, actions):
    with pytest.raises(TypeError) as failure:
        env.physics_step(actions)
    assert str(failure.value) == array_message("actions", actions)


@pytest.mark.parametrize(
    "mask",
    [
        [True],
        np.ones(1, np.int64),
        np.ones(1, np.uint8),
        np.ones((1, 1), np.bool_),
    ],
)
def test_bool_array_of_the_wrong_kind(env, mask):
    with pytest.raises(TypeError) as failure:
        env.reset_mask(mask)
    assert str(failure.value) == array_message("mask", mask)


def test_float_arrays_of_the_wrong_kind(env):
    good2 = np.zeros((1, 2))
    good3 = np.zeros((1, 1, 2))
    cases = [
        ("ball_pos", (good2.astype(np.float32), good2, good3, good3)),
        ("ball_vel", (good2, good2.tolist(), good3, good3)),
        ("player_pos", (good2, good2, good2, good3)),
        ("player_vel", (good2, good2, good3, good3.astype(np.longdouble))),
        ("steps", (good2, good2, good3, good3, [0])),
        ("steps", (good2, good2, good3, good3, np.zeros(1, np.int32))),
    ]
    for name, args in cases:
        with pytest.raises(TypeError) as failure:
            env.set_state(*args)
        bad = args[["ball_pos", "ball_vel", "player_pos", "player_vel", "steps"].index(name)]
        assert str(failure.value) == array_message(name, bad)


class ArraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize(
    "make",
    [
        lambda shape: np.zeros(shape, np.int64),
        lambda shape: np.zeros(shape, np.longlong),
        lambda shape: np.zeros(shape, np.int64).view(ArraySubclass),
        lambda shape: np.asfortranarray(np.zeros(shape, np.int64)),
        lambda shape: np.zeros(shape[::-1], np.int64).transpose(),
        lambda shape: np.zeros((shape[0], shape[1] * 2, shape[2]), np.int64)[:, ::-2, :],
        lambda shape: np.frombuffer(bytes(8 * np.prod(shape) + 1), np.int64, offset=1).reshape(shape),
        lambda shape: np.broadcast_to(np.zeros(1, np.int64), shape),
    ],
    ids=["plain", "longlong", "subclass", "fortran", "transposed", "negative-stride", "unaligned", "broadcast"],
)
def test_array_arguments_of_any_layout_are_accepted(env, make):
    # A wrong shape gets past the conversion and is refused by the member
    # itself, with the shape read from the array.
    actions = make((1, 1, 4))
    assert actions.shape == (1, 1, 4)
    with pytest.raises(ValueError) as failure:
        env.physics_step(actions)
    assert str(failure.value) == ("physics_step: actions shape [1, 1, 4] != expected (n_envs=1, n_players=1, 3)")


@pytest.mark.parametrize(
    "offsets, error, message",
    [
        ("123", TypeError, "argument 'offsets': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'offsets': 'int' object cannot be converted to 'Sequence'"),
        ({1: 2}, TypeError, "argument 'offsets': 'dict' object cannot be converted to 'Sequence'"),
        ({1, 2}, TypeError, "argument 'offsets': 'set' object cannot be converted to 'Sequence'"),
        (iter([1]), TypeError, "argument 'offsets': 'list_iterator' object cannot be converted to 'Sequence'"),
        ([1, 2.0], TypeError, "argument 'offsets': 'float' object cannot be interpreted as an integer"),
        ([1, None], TypeError, "argument 'offsets': 'NoneType' object cannot be interpreted as an integer"),
        ([1, -1], OverflowError, "can't convert negative int to unsigned"),
        ((2**64,), OverflowError, "int too big to convert"),
    ],
)
def test_sequence_conversion_failures(env, offsets, error, message):
    with pytest.raises(error) as failure:
        env.predict_ball(offsets)
    assert type(failure.value) is error
    assert str(failure.value) == message


class BadSequence:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise IndexError("gone") if index else ValueError("first item broken")


def test_sequence_item_errors_pass_through(env):
    with pytest.raises(ValueError, match="first item broken"):
        env.predict_ball(BadSequence())


# ---- references ----


def assert_no_reference_change(objects, call, repeat=300):
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(repeat):
        call()
    after = [sys.getrefcount(obj) for obj in objects]
    assert after == before


def swallow(function, *args, **kwargs):
    def call():
        try:
            function(*args, **kwargs)
        except (TypeError, OverflowError, ValueError):
            pass

    return call


def test_failed_bindings_and_conversions_leak_no_references(env):
    big = 10**30
    text = "".join(["{", "}"])
    ratio = 1.5
    pair = (1.5, 2.5)
    array = np.zeros((1, 1, 3), np.float64)
    objects = [big, text, ratio, pair, array]
    for call in [
        swallow(VecEnv, big, 1, 1),
        swallow(VecEnv, ratio, 1, 1),
        swallow(VecEnv, 1, 1, 1, 2, 3, big),
        swallow(VecEnv, 1, 1, 1, bogus=big),
        swallow(VecEnv, big, 1, 1, n_envs=big),
        swallow(VecEnv.from_zsm, text, 0, 1, 1),
        swallow(VecEnv.from_zsm, big, 1, 1, 1),
        swallow(env.physics_step, array),
        swallow(env.predict_ball, [1, big]),
        swallow(env.predict_ball, pair),
        swallow(zorbic_core.disc_vertex, pair, pair, (ratio, big), 1, 1, 1),
        swallow(zorbic_core.disc_vertex, pair, pair, pair, text, 1, 1),
    ]:
        assert_no_reference_change(objects, call)


def test_calls_keep_no_references_to_their_arguments(env):
    text = "".join(["{", "}"])
    count = 10**25 % 7 + 1
    pair = (0.5, 0.25)
    objects = [text, count, pair]
    assert_no_reference_change(objects, lambda: VecEnv(count, count, 0, step_limit=count), 100)
    assert_no_reference_change(objects, lambda: VecEnv.from_zsm(text, count, 1, 0), 100)
    assert_no_reference_change(
        objects, lambda: zorbic_core.disc_disc(pair, pair, pair, pair, count, count, count, count, count, count)
    )
