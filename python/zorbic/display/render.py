"""Pictures of a match: one frame as an (H, W, 3) uint8 array.

The stadium never changes during a match, so it is drawn once, four times
over-sized and reduced with a box filter (which anti-aliases every wall,
arc and dash), into a static layer. A frame is a copy of that layer with
the moving discs pasted on: each disc is a small sprite whose edge coverage
is computed exactly from the distance of every pixel centre to the disc's
centre, prepared for a quarter-pixel grid of positions and kept, so that a
frame costs a copy, a few pastes and one line of text.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw, ImageFont

from zorbic.display.scene import (
    BALL_FILL,
    GRASS,
    LABEL,
    MIN_DASH_PIXELS,
    OBSTACLE_FILL,
    OUTLINE,
    TEAM_COLORS,
    Color,
    Point,
    Scene,
    build_scene,
)
from zorbic.engine.match_flow import KICKOFF, PLAYING, MatchFlow, phase_name
from zorbic.engine.stadium import Stadium
from zorbic_core import FLAG_BLUE, FLAG_RED

SUPERSAMPLE = 4
SUBPIXELS = 4  # sprite positions per pixel along each axis
OUTLINE_WIDTH = 2.0  # of a disc's rim, in stadium units
OVERLAY_SHADE = 150  # opacity of the overlay's dark box, out of 255


LARGEST_DISC = 1024.0  # pixels of radius; a larger disc is drawn this large


def label_font_size(scene: Scene) -> int:
    """Slot numbers about as tall as a player's radius."""
    size = scene.player_radius * scene.view.scale * 1.05
    return min(max(7, round(size)), 200) if math.isfinite(size) else 7


def overlay_font_size(scene: Scene) -> int:
    """The overlay's text size: about 4 % of the picture's height."""
    return min(max(10, round(scene.view.height * 0.042)), 200)


def dash_pieces(points: Sequence[Point], on: float, off: float) -> list[list[Point]]:
    """Cut a polyline into dashes of length `on` with gaps of `off`."""
    pieces: list[list[Point]] = []
    current: list[Point] = [points[0]]
    drawing, left = True, on
    for a, b in zip(points, points[1:]):
        length = math.hypot(b[0] - a[0], b[1] - a[1])
        done = 0.0
        while length - done > left:
            done += left
            t = done / length
            cut = (a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t)
            if drawing:
                current.append(cut)
                pieces.append(current)
            current = [cut]
            drawing, left = not drawing, off if drawing else on
        left -= length - done
        if drawing:
            current.append(b)
    if drawing and len(current) > 1:
        pieces.append(current)
    return pieces


def _draw_strokes(scene: Scene) -> Image.Image:
    view = scene.view
    big = Image.new("RGB", (view.width * SUPERSAMPLE, view.height * SUPERSAMPLE), GRASS)
    draw = ImageDraw.Draw(big)
    for stroke in scene.strokes:
        style = stroke.style
        if style.dash:
            shortest = MIN_DASH_PIXELS / view.scale
            pieces = dash_pieces(stroke.points, max(style.dash[0], shortest), max(style.dash[1], shortest))
        else:
            pieces = [list(stroke.points)]
        width = max(1.0, style.width * view.scale * SUPERSAMPLE)
        for piece in pieces:
            # Pillow addresses pixel centres; pixel k of the big picture covers [k, k + 1).
            xy = view.to_pixels(piece) * SUPERSAMPLE - 0.5
            draw.line([tuple(p) for p in xy], fill=style.color, width=round(width), joint="curve")
            for x, y in (xy[0], xy[-1]):
                r = width / 2.0
                draw.ellipse([x - r, y - r, x + r, y + r], fill=style.color)
    return big.reduce(SUPERSAMPLE)


@dataclass(frozen=True)
class Sprite:
    """A disc drawn once at one sub-pixel offset, pasted wherever a disc sits at that offset."""

    color: Image.Image  # RGB
    mask: Image.Image  # L, the disc's coverage
    half: int  # the disc's centre is `half` + the sprite's sub-pixel offset from its corner


def disc_sprite(
    radius: float,
    fill: Color,
    offset: tuple[float, float],
    rim: float,
    label: str | None = None,
    font: ImageFont.FreeTypeFont | ImageFont.ImageFont | None = None,
) -> Sprite:
    """A disc of `radius` pixels with a dark rim of `rim` pixels, its centre at
    (half + offset) from the sprite's corner, every pixel weighted by how much
    of it the disc covers (a clipped distance, exact to within a pixel's edge)."""
    half = math.ceil(radius + 1.0)
    size = 2 * half + 2
    centers = np.arange(size) + 0.5
    dx = centers[None, :] - (half + offset[0])
    dy = centers[:, None] - (half + offset[1])
    distance = np.sqrt(dx * dx + dy * dy)
    coverage = np.clip(radius - distance + 0.5, 0.0, 1.0)
    inside = np.clip(radius - rim - distance + 0.5, 0.0, 1.0)[..., None]
    color = np.asarray(fill, np.float64) * inside + np.asarray(OUTLINE, np.float64) * (1.0 - inside)
    if label is not None and font is not None:
        glyph = Image.new("L", (size, size), 0)
        ImageDraw.Draw(glyph).text((half + offset[0], half + offset[1]), label, fill=255, font=font, anchor="mm")
        weight = np.asarray(glyph, np.float64)[..., None] / 255.0
        color = color * (1.0 - weight) + np.asarray(LABEL, np.float64) * weight
    return Sprite(
        Image.fromarray(np.round(color).astype(np.uint8)),
        Image.fromarray(np.round(coverage * 255.0).astype(np.uint8)),
        half,
    )


class Renderer:
    """Draws one match of a stadium into (height, width, 3) uint8 frames.

    `draw` takes plain arrays in the engine frame: the ball's position (2,),
    the players' positions (P, 2) and teams (P,) (FLAG_RED / FLAG_BLUE, slot
    order), the score (red, blue), the step and the phase (a number of
    `zorbic.engine.match_flow` or its name). Players show their slot number.
    """

    def __init__(self, stadium: Stadium, width: int = 640, height: int = 320) -> None:
        self.scene = build_scene(stadium, int(width), int(height))
        view = self.scene.view
        self._rim = OUTLINE_WIDTH * view.scale
        self._label_font = ImageFont.load_default(size=label_font_size(self.scene))
        self._overlay_font = ImageFont.load_default(size=overlay_font_size(self.scene))
        self._sprites: dict[tuple[object, ...], Sprite] = {}
        layer = _draw_strokes(self.scene)
        for disc in self.scene.obstacles:
            self._paste(layer, view.to_pixels(disc.center), disc.radius * view.scale, OBSTACLE_FILL, None, exact=True)
        self._stadium_layer = layer

    @property
    def width(self) -> int:
        """The picture's width in pixels."""
        return self.scene.view.width

    @property
    def height(self) -> int:
        """The picture's height in pixels."""
        return self.scene.view.height

    def draw(
        self,
        ball_pos: npt.ArrayLike,
        player_pos: npt.ArrayLike,
        teams: npt.ArrayLike,
        score: tuple[int, int] = (0, 0),
        step: int = 0,
        phase: int | str = PLAYING,
    ) -> npt.NDArray[np.uint8]:
        """A picture (height, width, 3) uint8 of one match: bodies at the given positions, and the overlay."""
        view = self.scene.view
        players = view.to_pixels(np.asarray(player_pos, np.float64).reshape(-1, 2))
        teams = np.asarray(teams).reshape(-1)
        if len(teams) != len(players):
            raise ValueError(f"teams has {len(teams)} entries for {len(players)} players")
        frame = self._stadium_layer.copy()
        player_radius = self.scene.player_radius * view.scale
        for slot, (center, team) in enumerate(zip(players, teams)):
            fill = TEAM_COLORS.get(int(team))
            if fill is None:
                raise ValueError(f"teams must hold FLAG_RED ({FLAG_RED}) or FLAG_BLUE ({FLAG_BLUE}), not {int(team)}")
            self._paste(frame, center, player_radius, fill, str(slot))
        ball = view.to_pixels(np.asarray(ball_pos, np.float64).reshape(2))
        self._paste(frame, ball, self.scene.ball_radius * view.scale, BALL_FILL, None)
        self._overlay(frame, f"Red {int(score[0])} : {int(score[1])} Blue   step {int(step)}   {phase_name(phase)}")
        return np.array(frame)

    def _paste(
        self,
        frame: Image.Image,
        center: npt.NDArray[np.float64],
        radius: float,
        fill: Color,
        label: str | None,
        exact: bool = False,
    ) -> None:
        x, y = float(center[0]), float(center[1])
        if not radius > 0.0:
            return  # a disc of no size, or of a radius that is not a number
        radius = min(radius, LARGEST_DISC)
        reach = radius + 2.0
        if not (-reach < x < frame.width + reach and -reach < y < frame.height + reach):
            return  # off the picture, or not a number at all
        if exact:
            corner, offset = (math.floor(x), math.floor(y)), (x - math.floor(x), y - math.floor(y))
            sprite = disc_sprite(radius, fill, offset, self._rim)
        else:
            qx, qy = round(x * SUBPIXELS), round(y * SUBPIXELS)
            corner = (qx // SUBPIXELS, qy // SUBPIXELS)
            offset = ((qx % SUBPIXELS) / SUBPIXELS, (qy % SUBPIXELS) / SUBPIXELS)
            key = (radius, fill, label, offset)
            cached = self._sprites.get(key)
            if cached is None:
                cached = self._sprites[key] = disc_sprite(radius, fill, offset, self._rim, label, self._label_font)
            sprite = cached
        frame.paste(sprite.color, (corner[0] - sprite.half, corner[1] - sprite.half), sprite.mask)

    def _overlay(self, frame: Image.Image, text: str) -> None:
        # Whole pixels, as the font gives them; the casts only tell the type checker so.
        left, top, right, bottom = (int(v) for v in self._overlay_font.getbbox(text))
        pad = max(3, overlay_font_size(self.scene) // 3)
        box = (pad, pad, pad * 3 + right - left, pad * 3 + bottom - top)
        shade = Image.new("L", (box[2] - box[0], box[3] - box[1]), OVERLAY_SHADE)
        frame.paste((0, 0, 0), box, shade)
        ImageDraw.Draw(frame).text((pad * 2 - left, pad * 2 - top), text, fill=LABEL, font=self._overlay_font)


class MatchRenderer:
    """Frames of the matches of a training batch, for the faces' `render()`.

    It follows the batch as an observer to know each match's score and phase
    (`zorbic.engine.match_flow`); made in the middle of an episode, it counts the
    score from then on and takes a match whose ball is at rest for one at
    kickoff.
    """

    def __init__(self, batch: Any, width: int = 640, height: int = 320) -> None:
        self.batch = batch
        self.renderer = Renderer(batch.stadium, width, height)
        state = batch.state
        self.flow = MatchFlow(batch.n_matches)
        self.flow.phase[:] = np.where((state.ball_vel * state.ball_vel).sum(axis=1) > 0.0, PLAYING, KICKOFF)
        self._ticks = state.ticks.copy()
        batch.add_observer(self)

    def on_reset(self, batch: Any, which: npt.NDArray[np.bool_], start: object) -> None:
        """Restart the score and phase of the matches in `which`."""
        self.flow.reset(which)
        if start is not None:
            self.flow.set_state()
        self._ticks = batch.state.ticks.copy()

    def on_step(self, batch: Any, actions: npt.NDArray[np.int64], scored: npt.NDArray[np.int8]) -> None:
        """Follow each match's phase and score through one step."""
        ticks = batch.state.ticks
        self.flow.step(scored, batch.state.ball_vel, ticks - self._ticks)
        self._ticks = ticks.copy()

    def render(self, index: int = 0) -> npt.NDArray[np.uint8]:
        """A picture of match `index` as it stands."""
        state, flow = self.batch.state, self.flow
        return self.renderer.draw(
            state.ball_pos[index],
            state.player_pos[index],
            self.batch.field.teams,
            (int(flow.red_score[index]), int(flow.blue_score[index])),
            int(state.episode_steps[index]),
            int(flow.phase[index]),
        )
