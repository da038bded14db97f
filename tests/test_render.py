"""Pictures of a match: bodies where the state puts them, walls where the engine has them."""

from __future__ import annotations

import json
import math

import numpy as np
import pytest

import zorbic_core
from pictures import disc_center, toward
from zorbic.display.render import Renderer
from zorbic.display.scene import (
    BALL_FILL,
    BALL_ONLY,
    BARRIER_BLUE,
    BARRIER_BOTH,
    BARRIER_RED,
    BLUE_TEAM,
    GRASS,
    INERT,
    PLAYER_ONLY,
    RED_TEAM,
    WALL,
    wall_style,
)
from zorbic.engine.match_flow import (
    GOAL_COUNTDOWN,
    GOAL_SCORED,
    KICKOFF,
    PLAYING,
    MatchFlow,
)
from zorbic.engine.stadium import (
    BALL,
    BLUE,
    BLUE_KO,
    RED,
    RED_KO,
    classic_text,
    read_stadium,
)
from zorbic_core import FLAG_BLUE, FLAG_RED

CLASSIC = read_stadium(classic_text())


def arcs_stadium() -> str:
    """Four separate arcs, two of each sign and two beyond half a turn, and
    one straight wall: nothing else is drawn near them."""
    vertexes, segments = [], []
    for k, curve in enumerate([90, -90, 270, -200]):
        x = -450 + 300 * k
        vertexes += [{"x": x - 40, "y": 0}, {"x": x + 40, "y": 0}]
        segments.append({"v0": 2 * k, "v1": 2 * k + 1, "curve": curve})
    vertexes += [{"x": -500, "y": 250}, {"x": 500, "y": 250}]
    segments.append({"v0": 8, "v1": 9})
    return json.dumps({"name": "arcs", "vertexes": vertexes, "segments": segments})


ARCS = read_stadium(arcs_stadium())


def wall_touches(stadium, launches: list[tuple[tuple[float, float], float]]) -> np.ndarray:
    """Where the engine's walls are, found by the engine itself: a ball sent
    from each start along each angle bounces off the first wall it meets;
    the tick pushes it out to one ball radius from the wall, and the change
    in its velocity lies along the wall's normal, so the wall's point is the
    ball's centre plus one radius against that normal."""
    n = len(launches)
    env = zorbic_core.VecEnv.from_zsm(stadium.text, n, 1, 0, tick_skip=1)
    speed = 1.5
    ball_pos = np.array([start for start, _ in launches], np.float64)
    ball_vel = np.array([(speed * math.cos(a), speed * math.sin(a)) for _, a in launches])
    far = np.full((n, 1, 2), 5000.0)  # the one player stays out of the way
    env.set_state(ball_pos, ball_vel, far, np.zeros((n, 1, 2)))
    damping = 0.99  # the ball's, in both stadiums
    touch = np.full((n, 2), np.nan)
    previous = ball_vel.copy()
    for _ in range(400):
        env.set_player_cmask(0)
        env.physics_step(np.zeros((n, 1, 3), np.int64))
        pos, vel = env.snapshot()[:2]
        kick = vel - previous * damping
        bounced = np.isnan(touch[:, 0]) & (np.hypot(*kick.T) > 1e-9)
        normal = kick[bounced] / np.hypot(*kick[bounced].T)[:, None]
        touch[bounced] = pos[bounced] - normal * stadium.ball_radius
        previous = vel
    assert not np.isnan(touch).any(), "some ball never reached a wall"
    return touch


def sector_angles(segment, margin: float) -> np.ndarray:
    """Angles (engine frame) strictly inside the arc's sweep, `margin` radians from its ends."""
    cx, cy = segment.center
    start = math.atan2(segment.v0[1] - cy, segment.v0[0] - cx)
    sweep = (math.atan2(segment.v1[1] - cy, segment.v1[0] - cx) - start) % (2 * math.pi)
    return start + np.linspace(margin, sweep - margin, 12)


@pytest.mark.parametrize(
    ("stadium", "indexes", "size"),
    [
        (CLASSIC, [0, 2, 3, 5], (640, 320)),  # the goal nets' corners
        (CLASSIC, [0, 2, 3, 5], (1600, 800)),
        (ARCS, [0, 1, 2, 3], (800, 400)),
    ],
    ids=["classic-nets", "classic-nets-large", "arcs-of-both-signs"],
)
def test_curved_walls_are_drawn_where_the_engine_has_them(stadium, indexes, size) -> None:
    renderer = Renderer(stadium, *size)
    picture = renderer.draw((9000.0, 9000.0), np.full((1, 2), 9000.0), [FLAG_RED])
    launches, owners = [], []
    for index in indexes:
        segment = stadium.segments[index]
        assert segment.curved
        launches += [(segment.center, a) for a in sector_angles(segment, 0.1)]
        owners += [index] * 12
    touches = wall_touches(stadium, launches)
    # A ball sent from an arc's centre meets the arc, unless a goal post at
    # the arc's end is in its way: keep the touches on the arc's circle.
    owners = np.array(owners)
    centers = np.array([stadium.segments[i].center for i in owners])
    radii = np.array([stadium.segments[i].radius for i in owners])
    on_arc = np.abs(np.linalg.norm(touches - centers, axis=1) - radii) < 1e-6
    for index in indexes:
        assert on_arc[owners == index].sum() >= 8, f"segment {index}"
    # Every point where the engine's arc stopped a ball falls on a drawn pixel of the wall's colour.
    color = wall_style(stadium.segments[indexes[0]].c_group, stadium.segments[indexes[0]].c_mask).color
    drawn = toward(picture, renderer.scene.view.to_pixels(touches[on_arc]), GRASS, color)
    assert drawn.min() > 0.45, f"{np.sum(drawn <= 0.45)} touch points fall off the drawn arcs"


def test_arcs_sweep_the_engines_sector_and_no_more() -> None:
    renderer = Renderer(ARCS, 800, 400)
    picture = renderer.draw((9000.0, 9000.0), np.full((1, 2), 9000.0), [FLAG_RED])
    view = renderer.scene.view
    for segment in ARCS.segments[:4]:
        t0 = np.array([segment.center[1] - segment.v0[1], segment.v0[0] - segment.center[0]])
        t1 = np.array([segment.v1[1] - segment.center[1], segment.center[0] - segment.v1[0]])
        if segment.curve <= 0:
            t0, t1 = -t0, -t1
        angles = np.linspace(0, 2 * math.pi, 720, endpoint=False)
        circle = np.array(segment.center) + segment.radius * np.stack([np.cos(angles), np.sin(angles)], axis=1)
        # The engine's own test of which side of its boundary vectors a point lies.
        inside = np.array(
            [
                zorbic_core.segment_curve(tuple(p), segment.center, segment.radius, tuple(t0), tuple(t1), segment.curve)
                is not None
                for p in circle
            ]
        )
        ends = np.array([segment.v0, segment.v1])
        clear = np.min(np.linalg.norm(circle[:, None] - ends[None], axis=2), axis=1) * view.scale > 4.0
        drawn = toward(picture, view.to_pixels(circle), GRASS, WALL.color)
        assert drawn[inside & clear].min() > 0.45
        assert drawn[~inside & clear].max() < 0.05


def test_straight_walls_and_planes_are_drawn_along_their_lines() -> None:
    renderer = Renderer(CLASSIC, 640, 320)
    picture = renderer.draw((9000.0, 9000.0), np.full((6, 2), 9000.0), [FLAG_RED] * 3 + [FLAG_BLUE] * 3)
    view = renderer.scene.view
    t = np.linspace(0.05, 0.95, 40)[:, None]
    back_wall = CLASSIC.segments[1]  # the blue goal's back, ball-only
    along = np.array(back_wall.v0) + t * (np.array(back_wall.v1) - np.array(back_wall.v0))
    assert toward(picture, view.to_pixels(along), GRASS, BALL_ONLY.color).min() > 0.45
    # The plane y = -200 (the outer wall, at the bottom, clear of the overlay), clipped to the picture's width.
    x0, _, x1, _ = view.world_box()
    outer = np.stack([np.linspace(x0 + 40, x1 - 40, 40), np.full(40, -200.0)], axis=1)
    assert toward(picture, view.to_pixels(outer), GRASS, WALL.color).min() > 0.45


@pytest.mark.parametrize(
    ("c_group", "c_mask", "style"),
    [
        (32, 63, WALL),
        (32, BALL, BALL_ONLY),
        (32, RED | BLUE, PLAYER_ONLY),
        (RED_KO, RED | BLUE, BARRIER_RED),
        (BLUE_KO, RED | BLUE, BARRIER_BLUE),
        (RED_KO | BLUE_KO, RED | BLUE, BARRIER_BOTH),
        (RED_KO, BALL, BALL_ONLY),  # the ball's own mask takes every group
        (32, 64, BALL_ONLY),  # the ball is kickable, so a mask of "kick" stops it
        (0, 63, INERT),
        (32, 0, INERT),
    ],
)
def test_a_walls_style_follows_from_whom_it_stops(c_group: int, c_mask: int, style) -> None:
    assert wall_style(c_group, c_mask) is style


def test_the_classic_walls_come_in_the_styles_a_person_tells_apart() -> None:
    styles = [wall_style(s.c_group, s.c_mask) for s in CLASSIC.segments]
    assert styles[:6] == [BALL_ONLY] * 6  # the goal nets
    assert styles[6:8] == [BARRIER_BOTH] * 2 and styles[8:10] == [BARRIER_RED, BARRIER_BLUE]
    assert [wall_style(p.c_group, p.c_mask) for p in CLASSIC.planes] == [WALL] * 4 + [BALL_ONLY] * 2
    colors = {style.color for style in (WALL, BALL_ONLY, BARRIER_RED, BARRIER_BLUE, BARRIER_BOTH, PLAYER_ONLY)}
    assert len(colors) == 6


STATES = [
    ((0.0, 0.0), [(-200.0, 0.0), (200.0, 50.0)]),
    ((12.3, -45.6), [(-100.25, 100.5), (150.75, -120.125)]),
    ((-300.1, 150.2), [(0.4, 0.6), (-250.0, -150.0)]),
]


@pytest.mark.parametrize(("ball", "players"), STATES)
@pytest.mark.parametrize("size", [(640, 320), (401, 257)])
def test_bodies_are_drawn_where_the_state_puts_them(ball, players, size) -> None:
    renderer = Renderer(CLASSIC, *size)
    picture = renderer.draw(ball, players, [FLAG_RED, FLAG_BLUE], (0, 0), 3, PLAYING)
    assert picture.shape == (size[1], size[0], 3) and picture.dtype == np.uint8
    view = renderer.scene.view
    reach = CLASSIC.player.radius * view.scale + 2
    expected_ball = view.to_pixels(ball)
    assert np.abs(disc_center(picture, expected_ball, BALL_FILL, reach) - expected_ball).max() <= 0.5
    for (x, y), color in zip(players, [RED_TEAM, BLUE_TEAM]):
        expected = view.to_pixels((x, y))
        assert np.abs(disc_center(picture, expected, color, reach) - expected).max() <= 0.5


def test_discs_are_anti_aliased() -> None:
    renderer = Renderer(CLASSIC, 640, 320)
    picture = renderer.draw((0.3, 0.7), [(9000.0, 0.0)], [FLAG_RED])
    center = renderer.scene.view.to_pixels((0.3, 0.7))
    r = CLASSIC.ball_radius * renderer.scene.view.scale
    x0, y0 = np.floor(center - r - 2).astype(int)
    window = picture[y0 : y0 + int(2 * r) + 5, x0 : x0 + int(2 * r) + 5].reshape(-1, 3)
    colors = {tuple(c) for c in window}
    # More than the grass, the rim and the fill: the edge blends them.
    assert len(colors) > 10


def test_the_overlay_shows_score_step_and_phase_and_nothing_else_changes() -> None:
    renderer = Renderer(CLASSIC, 640, 320)
    args = ((10.0, 20.0), [(-100.0, 0.0), (100.0, 0.0)], [FLAG_RED, FLAG_BLUE])
    first = renderer.draw(*args, (0, 0), 0, KICKOFF)
    pictures = [
        renderer.draw(*args, (2, 1), 0, KICKOFF),
        renderer.draw(*args, (0, 0), 57, KICKOFF),
        renderer.draw(*args, (0, 0), 0, "goal"),
    ]
    for picture in pictures:
        changed = np.argwhere((picture != first).any(axis=2))
        assert len(changed) > 0
        assert changed[:, 0].max() < 40 and changed[:, 1].max() < 320  # the top-left corner only


def test_bodies_off_the_picture_or_not_numbers_are_left_out() -> None:
    renderer = Renderer(CLASSIC, 640, 320)
    empty = renderer.draw((1e300, 0.0), [(np.nan, 0.0), (0.0, np.inf)], [FLAG_RED, FLAG_BLUE])
    nothing = renderer.draw((9000.0, 9000.0), [(9000.0, 9000.0)] * 2, [FLAG_RED, FLAG_BLUE])
    assert np.array_equal(empty, nothing)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda r: r.draw((0, 0), [(0, 0)], [FLAG_RED, FLAG_BLUE]), "teams has 2 entries for 1 players"),
        (lambda r: r.draw((0, 0), [(0, 0)], [7]), "FLAG_RED"),
        (lambda r: r.draw((0, 0), [(0, 0)], [FLAG_RED], phase=5), "phase must be"),
        (lambda r: r.draw((0, 0), [(0, 0)], [FLAG_RED], phase="halftime"), "phase must be one of"),
        (lambda r: Renderer(CLASSIC, 8, 320), "at least 16 x 16"),
    ],
)
def test_bad_arguments_are_refused(call, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        call(Renderer(CLASSIC, 64, 32))


def test_the_view_fits_the_stadium_and_its_planes() -> None:
    view = Renderer(CLASSIC, 640, 320).scene.view
    x0, y0, x1, y1 = view.world_box()
    # The outer planes at x = +-420 and y = +-200, with a player's radius of room.
    assert x0 <= -420 - 15 + 1e-9 and x1 >= 420 + 15 - 1e-9 and y0 <= -200 - 15 + 1e-9 and y1 >= 200 + 15 - 1e-9
    assert min(x1 - x0 - 870, y1 - y0 - 430) < 1e-6  # and no more than needed along one axis
    # Without planes the view hugs the finite walls.
    x0, y0, x1, y1 = Renderer(ARCS, 800, 400).scene.view.world_box()
    assert -600 < x0 < -500 and 500 < x1 < 600


def test_the_tracked_phase_and_score_follow_a_goal_and_its_countdown() -> None:
    tick_skip = 8
    env = zorbic_core.VecEnv(2, 1, 1, tick_skip=tick_skip)
    flow = MatchFlow(2)
    flow.reset(np.ones(2, bool))
    ball_pos, ball_vel, player_pos, player_vel, ticks = env.snapshot()
    # Match 0 shoots into the goal blue defends; match 1 stands still.
    ball_pos[0], ball_vel[0] = (355.0, 0.0), (6.0, 0.0)
    env.set_state(ball_pos, ball_vel, player_pos, player_vel, ticks)
    flow.set_state()
    ball_vel[1] = 0.0
    still = np.zeros((2, 2, 3), np.int64)
    phases, before = [], env.snapshot()[4]
    for _ in range(30):
        scored = env.physics_step(still)
        snapshot = env.snapshot()
        flow.step(scored, snapshot[1], snapshot[4] - before)
        before = snapshot[4]
        phases.append(int(flow.phase[0]))
        if flow.phase[0] == KICKOFF:
            # The countdown's reset is observable: the ball is back on the spot.
            assert np.array_equal(snapshot[0][0], (0.0, 0.0))
    assert phases[0] == GOAL_SCORED and (flow.red_score[0], flow.blue_score[0]) == (1, 0)
    # The goal came on the 3rd tick; 150 ticks later the kickoff: within step 1 + ceil(150 / 8).
    assert phases.index(KICKOFF) == math.ceil(GOAL_COUNTDOWN / tick_skip)
    assert flow.phase[1] == PLAYING and flow.red_score[1] == 0


ABSURD = json.dumps(
    {
        "vertexes": [
            {"x": -1e300, "y": 0},
            {"x": 1e300, "y": 0},
            {"x": -1e300, "y": 5},
            {"x": 1e300, "y": 5},
            {"x": 0, "y": 0},
        ],
        "segments": [
            {"v0": 0, "v1": 1, "cGroup": ["redKO"], "cMask": ["red"]},  # a dashed wall 2e300 long
            {"v0": 2, "v1": 3, "curve": 120},  # an arc of radius 1e300
            {"v0": 4, "v1": 4, "curve": 90},  # an arc of no length
        ],
        "planes": [{"normal": [0, 0], "dist": 5}, {"normal": [1e-300, 0], "dist": 1e300}],
        "discs": [{"pos": [0, 0], "radius": 1e9}, {"pos": [10, 10], "radius": -5}],
        "goals": [{"p0": [-1e308, 0], "p1": [1e308, 0], "team": "red"}],
        "playerPhysics": {"radius": -3},
        "ballPhysics": {"radius": 1e200},
    }
)


def test_a_stadium_of_absurd_numbers_is_drawn_quickly_and_without_error() -> None:
    """The engine range-checks no number, so neither may the picture fail on one."""
    from zorbic.display.viewer import match_data
    from zorbic.replays.format import Replay

    stadium = read_stadium(ABSURD)
    renderer = Renderer(stadium, 320, 160)
    picture = renderer.draw((1e250, -1e250), [(0.0, 0.0)], [FLAG_RED])
    assert picture.shape == (160, 320, 3)
    replay = Replay(ABSURD, 1, 0, 8, (), np.zeros((0, 1, 3), np.int64), np.zeros((0, 16), np.uint8))
    data = match_data(replay, 320, 160)
    assert sum(len(stroke["points"]) for stroke in data["strokes"]) < 100_000
    json.dumps(data, allow_nan=False)
