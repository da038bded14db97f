"""A replay as one self-contained HTML page that plays it on a canvas.

The page needs nothing but itself: its script and style are inlined, it
loads nothing from the network (its content-security policy forbids it),
and it carries the match as JSON: the stadium's strokes and the view of the
picture renderer, and the bodies' positions at every step, taken from a
re-simulation that is checked against the recorded digests as it runs.
"""

from __future__ import annotations

import html
import json
import math
import os
import re
from collections.abc import Sequence
from importlib import resources
from pathlib import Path
from typing import Any

import numpy as np

from zorbic.common.files import write_atomic
from zorbic.display.render import (
    LARGEST_DISC,
    OUTLINE_WIDTH,
    OVERLAY_SHADE,
    label_font_size,
    overlay_font_size,
)
from zorbic.display.scene import (
    BALL_FILL,
    BLUE_TEAM,
    GRASS,
    LABEL,
    MIN_DASH_PIXELS,
    OBSTACLE_FILL,
    OUTLINE,
    RED_TEAM,
    Color,
    build_scene,
)
from zorbic.display.video import replay_fps
from zorbic.engine.match_flow import GOAL_SCORED, PHASE_NAMES
from zorbic.engine.stadium import Stadium, read_stadium
from zorbic.replays.format import Replay, Reset, SetState
from zorbic.replays.resimulate import frames


def _hex(color: Color) -> str:
    return "#{:02x}{:02x}{:02x}".format(*color)


def _numbers(values: np.ndarray) -> list[float | None]:
    """Flat coordinates to a thousandth of a unit; JSON has no NaN, so a
    position that is not a finite number becomes null (and is not drawn)."""
    with np.errstate(over="ignore"):  # beyond 1e305 units: far off the picture, not drawn
        flat = np.round(values.astype(np.float64).reshape(-1), 3)
    return [float(v) if math.isfinite(v) else None for v in flat]


def drawing(stadium: Stadium, teams: Sequence[int], width: int, height: int) -> dict[str, Any]:
    """What draw.js needs to draw a stadium and its bodies, as JSON-ready values."""
    scene = build_scene(stadium, width, height)
    view = scene.view
    return {
        "title": stadium.name or "zorbic match",
        "view": {"width": view.width, "height": view.height, "scale": view.scale, "ox": view.ox, "oy": view.oy},
        "grass": _hex(GRASS),
        "strokes": [
            {
                "points": _numbers(np.array(stroke.points)),
                "color": _hex(stroke.style.color),
                "width": stroke.style.width,
                "dash": list(stroke.style.dash) if stroke.style.dash else None,
            }
            for stroke in scene.strokes
        ],
        "obstacles": [[*disc.center, disc.radius] for disc in scene.obstacles],
        "colors": {
            "outline": _hex(OUTLINE),
            "ball": _hex(BALL_FILL),
            "label": _hex(LABEL),
            "obstacle": _hex(OBSTACLE_FILL),
            "red": _hex(RED_TEAM),
            "blue": _hex(BLUE_TEAM),
        },
        "rim": OUTLINE_WIDTH,
        "minDash": MIN_DASH_PIXELS,
        "largestDisc": LARGEST_DISC,
        "ballRadius": scene.ball_radius,
        "playerRadius": scene.player_radius,
        "labelFont": label_font_size(scene),
        "overlayFont": overlay_font_size(scene),
        "overlayShade": round(OVERLAY_SHADE / 255.0, 3),
        "teams": [int(team) for team in teams],
        "phaseNames": list(PHASE_NAMES),
    }


def drawing_script() -> str:
    """The drawing code every page of the package inlines (draw.js)."""
    return resources.files("zorbic.display").joinpath("draw.js").read_text(encoding="utf-8")


def match_data(replay: Replay, width: int, height: int) -> dict[str, Any]:
    """Everything the page draws, as JSON-ready values."""
    stadium = read_stadium(replay.stadium)
    played = list(frames(replay))
    phases = [f.phase for f in played]
    jumps = {e.step for e in replay.events if isinstance(e, (Reset, SetState)) and e.step > 0}
    # Frame i jumps from frame i - 1 when a reset or a written state came
    # between them, or when the after-goal countdown put everyone back.
    cut = [0] + [
        int(i - 1 in jumps or (phases[i - 1] == GOAL_SCORED and phases[i] != GOAL_SCORED))
        for i in range(1, len(played))
    ]
    return {
        **drawing(stadium, [2] * replay.n_red + [4] * replay.n_blue, width, height),
        "fps": replay_fps(replay),
        "ball": _numbers(np.array([f.ball_pos for f in played])),
        "players": _numbers(np.array([f.player_pos for f in played])),
        "red": [f.score[0] for f in played],
        "blue": [f.score[1] for f in played],
        "phase": phases,
        "cut": cut,
    }


def viewer_html(replay: Replay, width: int = 960, height: int = 480) -> str:
    """The self-contained HTML page that plays `replay`, drawn at `width` x `height` pixels."""
    assets = resources.files("zorbic.display")
    template = assets.joinpath("viewer.html").read_text(encoding="utf-8")
    script = drawing_script() + assets.joinpath("viewer.js").read_text(encoding="utf-8")
    data = match_data(replay, width, height)
    # Inside a script element "</" could end it early and "<!--" or
    # "<script" could make the parser skip its end; "<" occurs only inside
    # JSON strings, where \u003c means the same.
    payload = json.dumps(data, separators=(",", ":"), allow_nan=False).replace("<", "\\u003c")
    fill = {"__TITLE__": html.escape(data["title"]), "__SCRIPT__": script, "__MATCH__": payload}
    # One pass, so that nothing filled in is read as a placeholder.
    return re.sub("__TITLE__|__SCRIPT__|__MATCH__", lambda found: fill[found.group(0)], template)


def write_viewer(replay: Replay, path: str | os.PathLike[str], width: int = 960, height: int = 480) -> Path:
    """Write the viewer page of `replay` to `path` atomically."""
    return write_atomic(path, viewer_html(replay, width, height).encode("utf-8"))
