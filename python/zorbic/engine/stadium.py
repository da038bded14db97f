"""Stadium texts: finding them, and reading what the Python side needs.

The core module compiles a stadium for the physics and hands out only the
straight walls, the goals and the obstacle discs. Drawing a match also needs
the arcs, the planes and the collision groups, and the scripted opponent and
the observation scales need the radii and the player physics; all of that is
read here from the same text, in the engine frame (the file's y axis
reversed). Every text is built by `zorbic_core.VecEnv.from_zsm` first, so a
text that the engine refuses never reaches this reader.
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass
from importlib import resources
from pathlib import Path

import zorbic_core
from zorbic.common.files import read_bounded
from zorbic.engine import limits
from zorbic.engine.limits import check_stadium

GROUPS = {"ball": 1, "red": 2, "blue": 4, "redKO": 8, "blueKO": 16, "wall": 32, "kick": 64, "score": 128, "all": 63}
BALL, RED, BLUE, RED_KO, BLUE_KO, WALL = 1, 2, 4, 8, 16, 32

# The engine's arc bounds, 9.99 and 340 degrees in radians, and its degree
# factor: an arc outside them is a straight wall.
_DEGREES = -0.017453292519943295
_ARC_MIN, _ARC_MAX = 0.17435839227423353, 5.934119456780721

Point = tuple[float, float]


def classic_text() -> str:
    """The built-in classic stadium, the same text the core module embeds."""
    return resources.files("zorbic").joinpath("classic.zsm").read_text(encoding="utf-8")


def stadium_text(stadium: str | os.PathLike[str] | None) -> str:
    """Resolve a stadium argument to its JSON text.

    None is the classic stadium; a path (or a string that does not start with
    "{") names a `.zsm` file; any other string is the stadium text itself.
    A file must be a regular file, and the text must be within the size and
    body limits of `zorbic.engine.limits`: ValueError otherwise.
    """
    if stadium is None:
        return classic_text()
    if isinstance(stadium, os.PathLike):
        return check_stadium(_file_text(stadium))
    if not isinstance(stadium, str):
        raise TypeError(f"stadium must be None, stadium text or a path to a .zsm file, not {type(stadium).__name__}")
    if stadium.lstrip("\ufeff \t\r\n").startswith("{"):
        return check_stadium(stadium)
    if not Path(stadium).exists():
        raise ValueError(f"stadium {stadium[:200]!r} is neither stadium text nor a path to a .zsm file")
    return check_stadium(_file_text(stadium))


def _file_text(path: str | os.PathLike[str]) -> str:
    data = read_bounded(path, limits.current().stadium_bytes, "stadium file")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"{os.fspath(path)}: the stadium file is not UTF-8 text ({error.reason})") from None


@dataclass(frozen=True)
class Segment:
    """A wall as the engine compiles it: straight when `radius` is 0."""

    v0: Point
    v1: Point
    center: Point
    radius: float
    curve: float  # 1 / tan(arc / 2); 0 for a straight wall
    c_group: int
    c_mask: int

    @property
    def curved(self) -> bool:
        return self.curve != 0.0


@dataclass(frozen=True)
class Plane:
    normal: Point  # as stored, not normalised
    dist: float
    c_group: int
    c_mask: int


@dataclass(frozen=True)
class Disc:
    pos: Point
    radius: float
    inv_mass: float
    c_group: int
    c_mask: int


@dataclass(frozen=True)
class Goal:
    p0: Point
    p1: Point
    team: int  # the side that defends it: FLAG_RED, FLAG_BLUE or 0


@dataclass(frozen=True)
class PlayerPhysics:
    radius: float = 15.0
    inv_mass: float = 0.5
    damping: float = 0.96
    acceleration: float = 0.1
    kicking_acceleration: float = 0.07
    kicking_damping: float = 0.96
    kick_strength: float = 5.0

    @property
    def top_speed(self) -> float:
        """The speed a player running straight settles at, a·d / (1 − d)."""
        return self.acceleration * self.damping / (1.0 - self.damping)


@dataclass(frozen=True)
class Stadium:
    text: str
    name: str | None
    ball_radius: float
    player: PlayerPhysics
    segments: tuple[Segment, ...]
    planes: tuple[Plane, ...]
    discs: tuple[Disc, ...]  # the obstacle discs, in engine order
    goals: tuple[Goal, ...]


def _groups(names: list[str]) -> int:
    flags = 0
    for name in names:
        flags |= GROUPS.get(name, 0) if isinstance(name, str) else 0
    return flags


def _given(record: dict | None) -> dict:
    """A record's keys without those set to null, which count as absent."""
    return {key: value for key, value in (record or {}).items() if value is not None}


def _merged(record: dict, traits: dict) -> dict:
    """The record's properties laid over those of its trait."""
    trait = record.get("trait")
    merged = _given(traits.get(trait)) if isinstance(trait, str) else {}
    merged.update(_given(record))
    return merged


def _engine(point: list[float]) -> Point:
    return (float(point[0]), -float(point[1]))


def _segment(record: dict, traits: dict, vertexes: list[Point]) -> Segment:
    props = _merged(record, traits)
    a, b = vertexes[int(record["v0"])], vertexes[int(record["v1"])]
    curve = props.get("curve")
    s = float(curve) * _DEGREES if curve is not None else -0.0
    v0, v1, arc = (b, a, -s) if s < 0 else (a, b, s)
    c_group = _groups(props["cGroup"]) if "cGroup" in props else WALL
    c_mask = _groups(props["cMask"]) if "cMask" in props else 63
    if not _ARC_MIN < arc < _ARC_MAX:
        return Segment(v0, v1, (0.0, 0.0), 0.0, 0.0, c_group, c_mask)
    factor = 1.0 / math.tan(arc * 0.5)
    hx, hy = (v1[0] - v0[0]) * 0.5, (v1[1] - v0[1]) * 0.5
    mx, my = v0[0] + hx, v0[1] + hy
    center = (mx - factor * hy, my + factor * hx)
    # Products, not powers: float ** raises OverflowError where the engine gets infinity.
    dx, dy = v0[0] - center[0], v0[1] - center[1]
    radius = math.sqrt(dx * dx + dy * dy)
    return Segment(v0, v1, center, radius, factor, c_group, c_mask)


def _player_physics(record: dict | None) -> PlayerPhysics:
    record = _given(record)
    default = PlayerPhysics()
    return PlayerPhysics(
        radius=float(record.get("radius", default.radius)),
        inv_mass=float(record.get("invMass", default.inv_mass)),
        damping=float(record.get("damping", default.damping)),
        acceleration=float(record.get("acceleration", default.acceleration)),
        kicking_acceleration=float(record.get("kickingAcceleration", default.kicking_acceleration)),
        kicking_damping=float(record.get("kickingDamping", default.kicking_damping)),
        kick_strength=float(record.get("kickStrength", default.kick_strength)),
    )


def read_stadium(text: str) -> Stadium:
    """Read a stadium text that the engine accepts (checked here first)."""
    zorbic_core.VecEnv.from_zsm(text, 1, 1, 0)
    root = json.loads(text.lstrip("\ufeff"))
    traits = root.get("traits") or {}
    vertexes = [(float(v["x"]), -float(v["y"])) for v in root.get("vertexes") or []]
    raw_discs = list(root.get("discs") or [])

    ball_source: dict = {}
    ball_physics = root.get("ballPhysics")
    ball_index = None
    if isinstance(ball_physics, str):
        ball_index = int(ball_physics[4:].lstrip("+"))
        ball_source = _merged(raw_discs[ball_index], traits)
    elif isinstance(ball_physics, dict):
        ball_source = _given(ball_physics)

    discs = []
    for index, record in enumerate(raw_discs):
        if index == ball_index:
            continue
        props = _merged(record, traits)
        discs.append(
            Disc(
                pos=_engine(props["pos"]) if "pos" in props else (0.0, 0.0),
                radius=float(props.get("radius", 10.0)),
                inv_mass=float(props.get("invMass", 1.0)),
                c_group=_groups(props["cGroup"]) if "cGroup" in props else 63,
                c_mask=_groups(props["cMask"]) if "cMask" in props else 63,
            )
        )

    planes = []
    for record in root.get("planes") or []:
        props = _merged(record, traits)
        planes.append(
            Plane(
                normal=_engine(record["normal"]),
                dist=float(record["dist"]),
                c_group=_groups(props["cGroup"]) if "cGroup" in props else WALL,
                c_mask=_groups(props["cMask"]) if "cMask" in props else 63,
            )
        )

    team_of = {"red": zorbic_core.FLAG_RED, "blue": zorbic_core.FLAG_BLUE}
    goals = tuple(Goal(_engine(g["p0"]), _engine(g["p1"]), team_of.get(g["team"], 0)) for g in root.get("goals") or [])
    name = root.get("name")
    return Stadium(
        text=text,
        name=name if isinstance(name, str) else None,
        ball_radius=float(ball_source.get("radius", 10.0)),
        player=_player_physics(root.get("playerPhysics")),
        segments=tuple(_segment(s, traits, vertexes) for s in root.get("segments") or []),
        planes=tuple(planes),
        discs=tuple(discs),
        goals=goals,
    )


def load_stadium(stadium: str | os.PathLike[str] | None = None) -> Stadium:
    """The stadium named by a set-up argument: None, stadium text or a path."""
    return read_stadium(stadium_text(stadium))
