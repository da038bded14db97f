"""Stadium texts: finding them, and the stadium as the engine compiles it.

The core module compiles a stadium for the physics and hands out only the
straight walls, the goals and the obstacle discs. Drawing a match also needs
the arcs, the planes and the collision groups, and the scripted opponent and
the observation scales need the radii and the player physics; all of that is
taken from the engine's own compilation of the text (`zorbic._engine`), in the
engine frame (the file's y axis reversed), so that no default or rule of the
engine is restated here.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from zorbic import _engine
from zorbic.common.files import read_bounded
from zorbic.engine import limits
from zorbic.engine.limits import check_stadium

GROUPS: dict[str, int] = dict(_engine.GROUPS)
BALL, RED, BLUE = GROUPS["ball"], GROUPS["red"], GROUPS["blue"]
RED_KO, BLUE_KO, WALL = GROUPS["redKO"], GROUPS["blueKO"], GROUPS["wall"]

Point = tuple[float, float]


def classic_text() -> str:
    """The built-in classic stadium, the text the engine embeds."""
    return _engine.CLASSIC_TEXT


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
        """Whether the wall is an arc."""
        return self.curve != 0.0


@dataclass(frozen=True)
class Plane:
    """A half-plane wall as the engine compiles it: points p with normal . p < distance are outside."""

    normal: Point  # as stored, not normalised
    dist: float
    c_group: int
    c_mask: int


@dataclass(frozen=True)
class Disc:
    """A static disc of the stadium (a post or an obstacle) as the engine compiles it."""

    pos: Point
    radius: float
    inv_mass: float
    c_group: int
    c_mask: int


@dataclass(frozen=True)
class Goal:
    """A goal line: the team that defends it, and its two ends."""

    p0: Point
    p1: Point
    team: int  # the side that defends it: FLAG_RED, FLAG_BLUE or 0


@dataclass(frozen=True)
class PlayerPhysics:
    """The physics every player of a stadium shares, as the engine compiled it."""

    radius: float
    inv_mass: float
    damping: float
    acceleration: float
    kicking_acceleration: float
    kicking_damping: float
    kick_strength: float

    @property
    def top_speed(self) -> float:
        """The speed a player running straight settles at, a·d / (1 − d).

        It scales every velocity a training part observes or rewards, so it
        must be a finite positive number: with a damping of 1 or more a
        running player's speed grows without bound (there is no top speed),
        and without acceleration or damping a player cannot run at all.

        Raises:
            ValueError: when the stadium's player physics gives no such speed.
        """
        a, d = self.acceleration, self.damping
        if not d < 1.0:
            raise ValueError(
                f"playerPhysics.damping must be below 1 for training, not {d!r}: "
                "a running player's speed would grow without bound"
            )
        speed = a * d / (1.0 - d)
        if not (math.isfinite(speed) and speed > 0.0):
            raise ValueError(
                f"playerPhysics gives players no finite positive top speed (acceleration {a!r}, damping {d!r}): "
                "acceleration and damping must be above 0 for training"
            )
        return speed


@dataclass(frozen=True)
class Stadium:
    """A stadium as the engine compiles it: its walls, discs, goals and physics."""

    text: str
    name: str | None
    ball_radius: float
    player: PlayerPhysics
    segments: tuple[Segment, ...]
    planes: tuple[Plane, ...]
    discs: tuple[Disc, ...]  # the obstacle discs, in engine order
    goals: tuple[Goal, ...]


def _points(rows: np.ndarray) -> list[Point]:
    return [(float(x), float(y)) for x, y in rows.tolist()]


def read_stadium(text: str) -> Stadium:
    """The stadium of a text as the engine compiles it.

    Args:
        text: the stadium's JSON text.

    Raises:
        ValueError: with the engine's message, when the engine refuses the text.
        TypeError: when `text` is not a str.
    """
    facts = _engine.compile_stadium(text)
    s, p, d, g = facts["segments"], facts["planes"], facts["discs"], facts["goals"]
    player = facts["player"]
    segments = tuple(
        Segment(v0, v1, center, radius, curve, c_group, c_mask)
        for v0, v1, center, radius, curve, c_group, c_mask in zip(
            _points(s["v0"]),
            _points(s["v1"]),
            _points(s["center"]),
            s["radius"].tolist(),
            s["curve"].tolist(),
            s["c_group"].tolist(),
            s["c_mask"].tolist(),
            strict=True,
        )
    )
    planes = tuple(
        Plane(normal, dist, c_group, c_mask)
        for normal, dist, c_group, c_mask in zip(
            _points(p["normal"]), p["dist"].tolist(), p["c_group"].tolist(), p["c_mask"].tolist(), strict=True
        )
    )
    discs = tuple(
        Disc(pos, radius, inv_mass, c_group, c_mask)
        for pos, radius, inv_mass, c_group, c_mask in zip(
            _points(d["pos"]),
            d["radius"].tolist(),
            d["inv_mass"].tolist(),
            d["c_group"].tolist(),
            d["c_mask"].tolist(),
            strict=True,
        )
    )
    goals = tuple(
        Goal(p0, p1, team) for p0, p1, team in zip(_points(g["p0"]), _points(g["p1"]), g["team"].tolist(), strict=True)
    )
    return Stadium(
        text=text,
        name=facts["name"],
        ball_radius=facts["ball"]["radius"],
        player=PlayerPhysics(
            radius=player["radius"],
            inv_mass=player["inv_mass"],
            damping=player["damping"],
            acceleration=player["acceleration"],
            kicking_acceleration=player["kicking_acceleration"],
            kicking_damping=player["kicking_damping"],
            kick_strength=player["kick_strength"],
        ),
        segments=segments,
        planes=planes,
        discs=discs,
        goals=goals,
    )


def load_stadium(stadium: str | os.PathLike[str] | None = None) -> Stadium:
    """The stadium named by a set-up argument: None, stadium text or a path."""
    return read_stadium(stadium_text(stadium))
