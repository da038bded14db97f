"""The drawing of a stadium as plain primitives, shared by every way of showing a match.

The picture renderer (Pillow) and the browser viewer (a canvas) draw the same
list of strokes and discs through the same view, so a frame and the viewer
agree to the pixel on where everything is. Everything here is in the engine
frame; `View` maps it to pixels with the y axis pointing down the screen,
which shows the stadium the way its file is written.

Walls are told apart by what they stop, from their real collision groups: a
wall for everyone, a ball-only wall (the pitch's boundary lines), a
player-only wall, the kickoff barrier (dashed, in the colour of the side
that kicks off through it), and walls that stop nothing we simulate.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from zorbic import _engine
from zorbic.engine.stadium import BLUE, BLUE_KO, RED, RED_KO, Segment, Stadium
from zorbic_core import FLAG_BLUE, FLAG_RED

Color = tuple[int, int, int]
Point = tuple[float, float]

GRASS: Color = (94, 142, 71)
RED_TEAM: Color = (229, 110, 86)
BLUE_TEAM: Color = (86, 137, 229)
OUTLINE: Color = (20, 20, 20)
BALL_FILL: Color = (250, 250, 250)
LABEL: Color = (255, 255, 255)
OBSTACLE_FILL: Color = (222, 222, 222)

# The masks that decide who a wall stops: the ball's group and mask, and a
# player's group (either team) and its mask outside a kickoff.
_BALL_GROUP, _BALL_MASK = _engine.BALL_CGROUP, _engine.BALL_CMASK
_PLAYER_GROUPS, _PLAYER_MASK = RED | BLUE, _engine.PLAYER_CMASK


@dataclass(frozen=True)
class WallStyle:
    """How one kind of wall is drawn: its colour, its width and its dash pattern."""

    name: str
    color: Color
    width: float  # in stadium units, so that every picture size looks alike
    dash: tuple[float, float] | None  # (on, off) in stadium units


WALL = WallStyle("wall", (34, 34, 34), 4.0, None)
BALL_ONLY = WallStyle("ball-only", (238, 238, 238), 3.0, None)
PLAYER_ONLY = WallStyle("player-only", (60, 60, 60), 2.5, (10.0, 6.0))
BARRIER_RED = WallStyle("barrier-red", (255, 190, 180), 2.5, (8.0, 8.0))
BARRIER_BLUE = WallStyle("barrier-blue", (180, 205, 255), 2.5, (8.0, 8.0))
BARRIER_BOTH = WallStyle("barrier-both", (230, 200, 255), 2.5, (8.0, 8.0))
INERT = WallStyle("inert", (150, 170, 140), 1.5, (3.0, 6.0))
GOAL_STYLES = {
    FLAG_RED: WallStyle("goal-red", (205, 50, 40), 5.0, None),
    FLAG_BLUE: WallStyle("goal-blue", (40, 80, 205), 5.0, None),
}
GOAL_OF_NOBODY = WallStyle("goal", (240, 220, 60), 5.0, None)
TEAM_COLORS = {FLAG_RED: RED_TEAM, FLAG_BLUE: BLUE_TEAM}
FARTHEST = 1e7
MAX_ARC_POINTS = 20000
MIN_DASH_PIXELS = 2.0  # dashes shorter than this would blur into a line


def wall_style(c_group: int, c_mask: int) -> WallStyle:
    """The style of a wall or plane from the collision groups it has."""
    stops_ball = bool(c_group & _BALL_MASK) and bool(c_mask & _BALL_GROUP)
    stops_players = bool(c_group & _PLAYER_MASK) and bool(c_mask & _PLAYER_GROUPS)
    if stops_ball and stops_players:
        return WALL
    if stops_ball:
        return BALL_ONLY
    if stops_players:
        return PLAYER_ONLY
    barrier = c_group & (RED_KO | BLUE_KO) if c_mask & _PLAYER_GROUPS else 0
    if barrier == RED_KO:
        return BARRIER_RED
    if barrier == BLUE_KO:
        return BARRIER_BLUE
    if barrier:
        return BARRIER_BOTH
    return INERT


@dataclass(frozen=True)
class Stroke:
    """One wall as a polyline, with the style its collision groups give it."""

    points: tuple[Point, ...]  # a polyline in the engine frame
    style: WallStyle


@dataclass(frozen=True)
class DiscShape:
    """A static disc of the stadium, drawn as an obstacle."""

    center: Point
    radius: float


@dataclass(frozen=True)
class View:
    """Engine frame to pixels: x right, y down, uniform scale.

    Pixel (i, j) covers [i, i + 1) x [j, j + 1); a point maps to the
    continuous coordinate (ox + x * scale, oy - y * scale).
    """

    width: int
    height: int
    scale: float
    ox: float
    oy: float

    def to_pixels(self, points: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Engine-frame points (..., 2) as continuous pixel coordinates (..., 2)."""
        p = np.asarray(points, np.float64)
        return np.stack([self.ox + p[..., 0] * self.scale, self.oy - p[..., 1] * self.scale], axis=-1)

    def world_box(self) -> tuple[float, float, float, float]:
        """The engine-frame rectangle (x0, y0, x1, y1) that the picture shows."""
        return (
            -self.ox / self.scale,
            (self.oy - self.height) / self.scale,
            (self.width - self.ox) / self.scale,
            self.oy / self.scale,
        )


@dataclass(frozen=True)
class Scene:
    """Everything static a picture of a stadium shows, in drawing order, with the view that fits it."""

    view: View
    strokes: tuple[Stroke, ...]  # in drawing order
    obstacles: tuple[DiscShape, ...]
    ball_radius: float
    player_radius: float


def arc_points(segment: Segment, step: float) -> list[Point]:
    """Points along a curved wall, from v0 to v1, at most `step` units apart.

    The engine's arc runs anticlockwise (in the engine frame) around its
    centre from the radius through v0 to the radius through v1: that is the
    sector its contact test governs, both for arcs under 180 degrees and,
    with the boundary vectors negated, for those above.
    """
    cx, cy = segment.center
    start = math.atan2(segment.v0[1] - cy, segment.v0[0] - cx)
    sweep = (math.atan2(segment.v1[1] - cy, segment.v1[0] - cx) - start) % (2.0 * math.pi)
    count = sweep * segment.radius / step
    # However absurd the stadium's numbers, an arc stays a bounded polyline.
    n = max(2, math.ceil(count)) if count < MAX_ARC_POINTS else MAX_ARC_POINTS
    inner = [
        (cx + segment.radius * math.cos(start + sweep * k / n), cy + segment.radius * math.sin(start + sweep * k / n))
        for k in range(1, n)
    ]
    return [segment.v0, *inner, segment.v1]


def _arc_extent(segment: Segment) -> list[Point]:
    """The ends of an arc and the points where it reaches furthest along an axis."""
    points = arc_points(segment, segment.radius * 0.01 + 1e-9)
    return [points[0], points[-1]] + [
        max(points, key=lambda p: p[0]),
        min(points, key=lambda p: p[0]),
        max(points, key=lambda p: p[1]),
        min(points, key=lambda p: p[1]),
    ]


def _clip_polygon(polygon: list[Point], normal: Point, dist: float) -> list[Point]:
    """The part of a convex polygon on the open side of a plane, p . n >= dist."""
    out: list[Point] = []
    for i, a in enumerate(polygon):
        b = polygon[(i + 1) % len(polygon)]
        da = a[0] * normal[0] + a[1] * normal[1] - dist
        db = b[0] * normal[0] + b[1] * normal[1] - dist
        if da >= 0.0:
            out.append(a)
        if (da >= 0.0) != (db >= 0.0):
            t = da / (da - db)
            out.append((a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t))
    return out


def _unit(normal: Point) -> Point | None:
    length = math.hypot(*normal)
    if not math.isfinite(length) or length == 0.0:
        return None
    return (normal[0] / length, normal[1] / length)


def _bounds(stadium: Stadium) -> tuple[float, float, float, float]:
    """The engine-frame box that shows the whole stadium.

    Finite geometry (walls, arcs, obstacles, goals) counts as it is; the
    infinite planes count where they close in the space in which the ball
    and the players can move, clipped from a generous box around the rest.
    """
    points: list[Point] = []
    for segment in stadium.segments:
        finite = math.isfinite(segment.radius) and all(map(math.isfinite, segment.center))
        points += _arc_extent(segment) if segment.curved and finite else [segment.v0, segment.v1]
    for disc in stadium.discs:
        points += [
            (disc.pos[0] - disc.radius, disc.pos[1] - disc.radius),
            (disc.pos[0] + disc.radius, disc.pos[1] + disc.radius),
        ]
    for goal in stadium.goals:
        points += [goal.p0, goal.p1]
    points = [p for p in points if math.isfinite(p[0]) and math.isfinite(p[1])]
    if points:
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
    else:
        x0, x1, y0, y1 = -420.0, 420.0, -200.0, 200.0
    grow = max(x1 - x0, y1 - y0, 200.0)
    outer = (x0 - grow, y0 - grow, x1 + grow, y1 + grow)
    room = [(outer[0], outer[1]), (outer[2], outer[1]), (outer[2], outer[3]), (outer[0], outer[3])]
    for plane in stadium.planes:
        unit = _unit(plane.normal)
        if unit is not None and math.isfinite(plane.dist) and wall_style(plane.c_group, plane.c_mask) is not INERT:
            room = _clip_polygon(room, unit, plane.dist) or room
    # A side of the room that some plane closes widens the box; a side
    # still open keeps the finite geometry's edge.
    rx0, rx1 = min(p[0] for p in room), max(p[0] for p in room)
    ry0, ry1 = min(p[1] for p in room), max(p[1] for p in room)
    return (
        min(x0, rx0) if rx0 > outer[0] else x0,
        min(y0, ry0) if ry0 > outer[1] else y0,
        max(x1, rx1) if rx1 < outer[2] else x1,
        max(y1, ry1) if ry1 < outer[3] else y1,
    )


def fit_view(stadium: Stadium, width: int, height: int) -> View:
    """The largest uniform scale at which the stadium fits, centred, with a
    border of one player radius so that a player against the outer wall shows."""
    if width < 16 or height < 16:
        raise ValueError(f"a picture must be at least 16 x 16 pixels, not {width} x {height}")
    # Beyond ten million units a stadium is shown by its middle part.
    x0, y0, x1, y1 = (min(max(v, -FARTHEST), FARTHEST) for v in _bounds(stadium))
    radius = stadium.player.radius
    border = min(max(radius, 1.0), 1000.0) if math.isfinite(radius) else 15.0
    x0, y0, x1, y1 = x0 - border, y0 - border, x1 + border, y1 + border
    scale = min(width / (x1 - x0), height / (y1 - y0))
    return View(width, height, scale, width / 2.0 - (x0 + x1) / 2.0 * scale, height / 2.0 + (y0 + y1) / 2.0 * scale)


def _plane_stroke(normal: Point, dist: float, box: tuple[float, float, float, float]) -> tuple[Point, Point] | None:
    """The piece of a plane's line inside the box, or None when it misses it."""
    unit = _unit(normal)
    if unit is None or not math.isfinite(dist):
        return None
    foot = (unit[0] * dist, unit[1] * dist)
    direction = (-unit[1], unit[0])
    lo, hi = -math.inf, math.inf
    for axis, (low, high) in enumerate(((box[0], box[2]), (box[1], box[3]))):
        if direction[axis] == 0.0:
            if not low <= foot[axis] <= high:
                return None
            continue
        t0, t1 = (low - foot[axis]) / direction[axis], (high - foot[axis]) / direction[axis]
        lo, hi = max(lo, min(t0, t1)), min(hi, max(t0, t1))
    if lo >= hi:
        return None
    return (
        (foot[0] + direction[0] * lo, foot[1] + direction[1] * lo),
        (foot[0] + direction[0] * hi, foot[1] + direction[1] * hi),
    )


def _clip_segment(a: Point, b: Point, box: tuple[float, float, float, float]) -> tuple[Point, Point] | None:
    """The part of segment ab inside the box (Liang-Barsky), or None."""
    if not all(math.isfinite(v) for v in (*a, *b)):
        return None
    lo, hi = 0.0, 1.0
    for axis, (low, high) in enumerate(((box[0], box[2]), (box[1], box[3]))):
        delta = b[axis] - a[axis]
        if delta == 0.0:
            if not low <= a[axis] <= high:
                return None
            continue
        t0, t1 = (low - a[axis]) / delta, (high - a[axis]) / delta
        lo, hi = max(lo, min(t0, t1)), min(hi, max(t0, t1))
    if lo > hi or not (math.isfinite(lo) and math.isfinite(hi)):
        return None
    at = lambda t: (a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t)  # noqa: E731
    return (a if lo == 0.0 else at(lo), b if hi == 1.0 else at(hi))


def clip_polyline(points: tuple[Point, ...], box: tuple[float, float, float, float]) -> list[tuple[Point, ...]]:
    """The runs of a polyline inside the box: what is drawn of a wall, and
    bounded whatever the stadium's numbers (a wall 1e300 units long)."""
    runs: list[list[Point]] = []
    for a, b in zip(points, points[1:]):
        piece = _clip_segment(a, b, box)
        if piece is None:
            continue
        if runs and runs[-1][-1] == piece[0]:
            runs[-1].append(piece[1])
        else:
            runs.append([piece[0], piece[1]])
    return [tuple(run) for run in runs]


def build_scene(stadium: Stadium, width: int, height: int) -> Scene:
    """The scene of `stadium` fitted into a picture of `width` x `height` pixels."""
    view = fit_view(stadium, width, height)
    x0, y0, x1, y1 = view.world_box()
    margin = 0.05 * max(x1 - x0, y1 - y0)
    box = (x0 - margin, y0 - margin, x1 + margin, y1 + margin)
    walls: list[Stroke] = []
    for plane in stadium.planes:
        piece = _plane_stroke(plane.normal, plane.dist, box)
        if piece is not None:
            walls.append(Stroke(piece, wall_style(plane.c_group, plane.c_mask)))
    for segment in stadium.segments:
        if segment.curved and math.isfinite(segment.radius) and all(map(math.isfinite, segment.center)):
            # Chords within a twentieth of a pixel of the circle: sagitta = chord^2 / (8 r).
            chord = math.sqrt(max(8.0 * segment.radius * 0.05 / view.scale, 1e-12))
            points = tuple(arc_points(segment, max(chord, 1e-3)))
        else:
            points = (segment.v0, segment.v1)
        walls += [Stroke(run, wall_style(segment.c_group, segment.c_mask)) for run in clip_polyline(points, box)]
    # Quiet walls first, so that the walls that stop things are drawn on top.
    order = [INERT, BARRIER_BOTH, BARRIER_RED, BARRIER_BLUE, PLAYER_ONLY, BALL_ONLY, WALL]
    walls.sort(key=lambda stroke: order.index(stroke.style))
    goals = [
        Stroke(run, GOAL_STYLES.get(goal.team, GOAL_OF_NOBODY))
        for goal in stadium.goals
        for run in clip_polyline((goal.p0, goal.p1), box)
    ]
    return Scene(
        view=view,
        strokes=tuple(walls + goals),
        obstacles=tuple(DiscShape(d.pos, d.radius) for d in stadium.discs),
        ball_radius=stadium.ball_radius,
        player_radius=stadium.player.radius,
    )
