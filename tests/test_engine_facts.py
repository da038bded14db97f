"""The Python side's facts of the engine come from the engine: the compiled
stadium, the rules' constants, and the values still written in Python."""

from __future__ import annotations

import json

import gymnasium
import numpy as np
import pytest

import zorbic
import zorbic.pettingzoo
import zorbic_core
from zorbic import _engine
from zorbic.core import match_setup
from zorbic.engine import match_flow
from zorbic.engine.stadium import GROUPS, PlayerPhysics, classic_text, read_stadium
from zorbic.parts import opponents
from zorbic.replays import format as replay_format

CLASSIC = read_stadium(classic_text())


def test_classic_stadium_compiles_to_its_known_geometry() -> None:
    s = CLASSIC
    assert s.name == "Classic" and s.ball_radius == 10.0
    assert (len(s.segments), len(s.planes), len(s.discs), len(s.goals)) == (14, 6, 4, 2)
    assert [d.pos for d in s.discs] == [(370.0, 64.0), (370.0, -64.0), (-370.0, 64.0), (-370.0, -64.0)]
    assert {(d.radius, d.inv_mass, d.c_group, d.c_mask) for d in s.discs} == {(8.0, 0.0, 63, 63)}
    first = s.segments[0]
    assert (first.v0, first.v1, first.center, first.radius) == ((400.0, 42.0), (378.0, 64.0), (378.0, 42.0), 22.0)
    assert (first.curve, first.c_group, first.c_mask) == (1.0000000000000002, 32, 1)
    back = s.segments[1]
    assert (back.v0, back.v1, back.center, back.radius, back.curved) == (
        (400.0, -42.0),
        (400.0, 42.0),
        (0.0, 0.0),
        0,
        False,
    )
    circle = s.segments[8]
    assert (circle.v0, circle.v1, circle.radius, circle.curve) == (
        (0.0, -75.0),
        (0.0, 75.0),
        75.0,
        6.123233995736766e-17,
    )
    assert (circle.c_group, circle.c_mask) == (8, 6)
    plane = s.planes[0]
    assert (plane.normal, plane.dist, plane.c_group, plane.c_mask) == ((0.0, -1.0), -200.0, 32, 63)
    assert (s.goals[0].p0, s.goals[0].p1, s.goals[0].team) == ((370.0, 64.0), (370.0, -64.0), zorbic_core.FLAG_BLUE)
    assert s.player == PlayerPhysics(15.0, 0.5, 0.96, 0.1, 0.07, 0.96, 5.0)


def test_classic_text_is_the_shipped_file() -> None:
    from importlib import resources

    assert classic_text() == resources.files("zorbic").joinpath("classic.zsm").read_text(encoding="utf-8")


def _chord(curve: float, **extra: object) -> str:
    vertexes = [{"x": 0, "y": 0}, {"x": 100, "y": 0}]
    return json.dumps({"vertexes": vertexes, "segments": [{"v0": 0, "v1": 1, "curve": curve, **extra}]})


@pytest.mark.parametrize(
    ("curve", "v0", "v1", "center", "t0"),
    [
        (90, (100.0, 0.0), (0.0, 0.0), (50.0, -50.000000000000014), (-50.000000000000014, 50.0)),
        (-90, (0.0, 0.0), (100.0, 0.0), (50.0, 50.000000000000014), (50.000000000000014, -50.0)),
    ],
)
def test_arcs_of_both_signs_have_the_engines_centre_and_ends(curve, v0, v1, center, t0) -> None:
    segment = read_stadium(_chord(curve)).segments[0]
    assert (segment.v0, segment.v1, segment.center) == (v0, v1, center)
    assert (segment.radius, segment.curve) == (70.71067811865477, 1.0000000000000002)
    facts = _engine.compile_stadium(_chord(curve, bias=3))["segments"]
    assert tuple(facts["t0"][0]) == t0
    assert facts["bias"][0] == (3.0 if curve > 0 else -3.0)


@pytest.mark.parametrize(
    ("curve", "swapped"), [(5, True), (-5, False), (340, True), (-340, False), (9.99, True), (350, True)]
)
def test_arcs_outside_the_engines_bounds_are_straight(curve: float, swapped: bool) -> None:
    segment = read_stadium(_chord(curve)).segments[0]
    assert not segment.curved and segment.radius == 0.0 and segment.center == (0.0, 0.0)
    assert (segment.v0 == (100.0, 0.0)) is swapped


def test_arcs_past_half_a_turn_turn_their_boundary_vectors() -> None:
    facts = _engine.compile_stadium(_chord(270))["segments"]
    assert facts["curve"][0] < 0
    # the engine's boundary vector at v0 is (c.y - v0.y, v0.x - c.x), negated past 180 degrees
    (cx, cy), (x0, y0) = facts["center"][0], facts["v0"][0]
    assert tuple(facts["t0"][0]) == (-(cy - y0), -(x0 - cx))


def test_ball_disc_traits_and_player_physics_follow_the_engines_build() -> None:
    text = json.dumps(
        {
            "traits": {"post": {"radius": 3, "cMask": ["red"]}},
            "discs": [{"trait": "post", "pos": [1, 2], "radius": 4}, {"radius": 6, "pos": [9, 9]}, {"trait": "post"}],
            "ballPhysics": "disc1",
            "playerPhysics": {"radius": 12, "kickStrength": 7},
        }
    )
    s = read_stadium(text)
    assert s.ball_radius == 6.0
    assert [(d.pos, d.radius, d.c_group, d.c_mask) for d in s.discs] == [
        ((1.0, -2.0), 4.0, 63, GROUPS["red"]),
        ((0.0, 0.0), 3.0, 63, GROUPS["red"]),
    ]
    assert (s.player.radius, s.player.kick_strength, s.player.damping) == (12.0, 7.0, 0.96)
    facts = _engine.compile_stadium(text)
    assert (facts["ball"]["c_group"], facts["ball"]["c_mask"]) == (_engine.BALL_CGROUP, _engine.BALL_CMASK)
    assert facts["player"]["c_mask"] == _engine.PLAYER_CMASK


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("", "bad .zsm JSON: "),
        ('{"ballPhysics": "ball"}', "ballPhysics ref \"ball\" is not 'discN'"),
        ('{"segments": [{"v0": 0, "v1": 1}]}', "segment references missing vertex 0 / 1"),
        ('{"name": 3}', "bad .zsm JSON: "),
    ],
)
def test_text_the_engine_refuses_is_refused_with_its_message(text: str, message: str) -> None:
    with pytest.raises(ValueError) as engine:
        zorbic_core.VecEnv.from_zsm(text, 1, 1, 0)
    with pytest.raises(ValueError) as ours:
        read_stadium(text)
    assert str(ours.value) == str(engine.value) and str(ours.value).startswith(message)


@pytest.mark.parametrize("text", [b"{}", None, 3])
def test_a_stadium_text_must_be_a_str(text: object) -> None:
    with pytest.raises(TypeError, match="str"):
        _engine.compile_stadium(text)


def test_the_rules_constants_are_the_engines() -> None:
    assert (match_flow.GOAL_COUNTDOWN, opponents.KICK_REACH) == (150, 4.0)
    assert _engine.GROUPS == {
        "ball": 1,
        "red": 2,
        "blue": 4,
        "redKO": 8,
        "blueKO": 16,
        "wall": 32,
        "kick": 64,
        "score": 128,
        "all": 63,
    }
    assert (GROUPS["red"], GROUPS["blue"]) == (zorbic_core.FLAG_RED, zorbic_core.FLAG_BLUE)


def test_restated_player_limits_match_the_engines() -> None:
    assert match_setup.MAX_PLAYERS == replay_format.MAX_PLAYERS == _engine.MAX_PLAYERS
    zorbic_core.VecEnv(1, _engine.MAX_PLAYERS, 0)
    with pytest.raises(ValueError):
        zorbic_core.VecEnv(1, _engine.MAX_PLAYERS, 1)


def test_the_countdown_is_the_one_a_batch_runs() -> None:
    """A goal on a tick_skip-1 batch: the bodies are back at kickoff after exactly the countdown."""
    env = zorbic_core.VecEnv(1, 1, 0, tick_skip=1)
    far = np.array([[[0.0, 150.0]]])
    env.set_state(np.array([[360.0, 0.0]]), np.array([[20.0, 0.0]]), far, np.zeros((1, 1, 2)))
    assert env.physics_step(np.zeros((1, 1, 3), np.int64))[0] == zorbic_core.FLAG_BLUE
    ticks = 0
    while env.snapshot()[0][0, 0] != 0.0 and ticks < 1000:
        env.physics_step(np.zeros((1, 1, 3), np.int64))
        ticks += 1
    assert ticks == _engine.GOAL_COUNTDOWN


@pytest.mark.parametrize(("gap", "kicked"), [(3.99, True), (4.0, False)])
def test_the_kick_reach_is_the_one_a_batch_kicks_with(gap: float, kicked: bool) -> None:
    env = zorbic_core.VecEnv(1, 1, 0, tick_skip=1)
    radii = CLASSIC.ball_radius + CLASSIC.player.radius
    env.set_state(np.array([[radii + gap, 0.0]]), np.zeros((1, 2)), np.zeros((1, 1, 2)), np.zeros((1, 1, 2)))
    env.physics_step(np.array([[[0, 0, 2]]], np.int64))
    assert bool(env.snapshot()[1][0, 0] != 0.0) is kicked
    assert (gap < opponents.KICK_REACH) is kicked


def _nested(depth: int) -> str:
    return '{"unused": ' + "[" * depth + "]" * depth + "}"


@pytest.mark.parametrize(
    "build",
    [
        lambda text: read_stadium(text).name,
        lambda text: zorbic.MatchSetup(stadium=text),
        lambda text: gymnasium.make("zorbic/Soccer-v0", stadium=text).reset(seed=0),
        lambda text: zorbic.pettingzoo.parallel_env(stadium=text).reset(seed=0),
    ],
    ids=["read_stadium", "MatchSetup", "gymnasium.make", "parallel_env"],
)
def test_deeply_nested_unused_values_are_read_like_the_engine_reads_them(build) -> None:
    build(_nested(100_000))


@pytest.mark.parametrize(
    ("physics", "named"),
    [
        ({"damping": 1}, "playerPhysics.damping"),
        ({"damping": 1.5}, "playerPhysics.damping"),
        ({"acceleration": 0}, "acceleration"),
        ({"damping": 0}, "damping"),
        ({"damping": -0.5}, "damping"),
        ({"acceleration": 1e308, "damping": 0.999}, "finite"),
    ],
)
def test_player_physics_without_a_top_speed_is_refused_for_training(physics: dict, named: str) -> None:
    text = json.dumps({"playerPhysics": physics})
    stadium = read_stadium(text)  # showing a match there is still fine
    with pytest.raises(ValueError, match=named):
        stadium.player.top_speed
    with pytest.raises(ValueError, match="playerPhysics"):
        gymnasium.make("zorbic/Soccer-v0", stadium=text).reset(seed=0)
    with pytest.raises(ValueError, match="playerPhysics"):
        zorbic.pettingzoo.parallel_env(stadium=text).reset(seed=0)


def test_the_top_speed_of_the_default_physics() -> None:
    assert CLASSIC.player.top_speed == 0.1 * 0.96 / (1.0 - 0.96)
