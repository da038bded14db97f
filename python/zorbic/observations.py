"""Observation builders: what each learner sees, as float32 vectors.

The default builder is egocentric. Every learner sees the field in its own
frame, mirrored in x on the blue side so that both teams attack towards +x,
with positions divided by the stadium's half extents and velocities by a
player's top speed. For a learner in slot j the vector is, in this order:

  self       x, y, vx, vy                 (absolute position)
  ball       x, y, vx, vy                 (position relative to self)
  team-mates x, y, vx, vy each            (relative; slot order, self left out)
  opponents  x, y, vx, vy each            (relative; slot order)

followed by the optional features that the caller switches on, in this order:

  goal_mouths       attacked mouth x, y, defended mouth x, y (relative)
  ball_prediction   x, y per offset: the ball's predicted position (relative)
  wall_rays         one distance per ray to the nearest straight wall, rays
                    evenly spread anticlockwise from straight ahead, divided
                    by the stadium's diagonal and capped at 1
  obstacles         x, y, radius per obstacle disc (relative; radius divided
                    by the half width)

Every entry is clipped to [-LIMIT, LIMIT]: inside a walled stadium nothing
comes near it, and a body that leaves an open one cannot swamp a network.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import zorbic_core
from gymnasium import spaces

from zorbic.state import BatchState, Field


LIMIT = 10.0


class ObservationBuilder:
    """Base of the observation builders."""

    def size(self, field: Field) -> int:
        """Length of one learner's observation vector."""
        raise NotImplementedError

    def space(self, field: Field) -> spaces.Box:
        return spaces.Box(-LIMIT, LIMIT, shape=(self.size(field),), dtype=np.float32)

    def bind(self, env: zorbic_core.VecEnv) -> None:
        """The batch's engine, for builders that ask it (prediction, obstacles)."""

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        """Matches `which` (M,) restarted; builders with memory forget them here."""

    def build(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        """Observations of `slots` in every match, float32 (M, len(slots), size)."""
        raise NotImplementedError


class EgocentricObservation(ObservationBuilder):
    def __init__(
        self,
        *,
        goal_mouths: bool = False,
        ball_prediction: Sequence[int] = (),
        wall_rays: int = 0,
        obstacles: bool = False,
    ) -> None:
        offsets = [int(k) for k in ball_prediction]
        if any(k < 1 for k in offsets) or offsets != sorted(offsets):
            raise ValueError("ball_prediction must be ascending tick offsets of at least 1")
        if wall_rays < 0:
            raise ValueError("wall_rays must be 0 or more")
        self.goal_mouths = goal_mouths
        self.ball_prediction = offsets
        self.wall_rays = int(wall_rays)
        self.obstacles = obstacles
        self.env: zorbic_core.VecEnv | None = None
        self._layouts: dict[tuple[int, ...], _Layout] = {}

    def bind(self, env: zorbic_core.VecEnv) -> None:
        self.env = env

    def size(self, field: Field) -> int:
        bodies = 1 + field.n_players
        n_obstacles = len(field.stadium.discs) if self.obstacles else 0
        return (
            4 * bodies
            + 4 * self.goal_mouths
            + 2 * len(self.ball_prediction)
            + self.wall_rays
            + 3 * n_obstacles
        )

    def _layout(self, field: Field, slots: np.ndarray) -> _Layout:
        key = tuple(int(s) for s in slots)
        if key not in self._layouts:
            self._layouts[key] = _Layout(field, slots, self.wall_rays)
        return self._layouts[key]

    def build(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        layout = self._layout(field, slots)
        m, k = state.n_matches, len(slots)
        pos = np.concatenate([state.ball_pos[:, None], state.player_pos], axis=1)
        vel = np.concatenate([state.ball_vel[:, None], state.player_vel], axis=1)
        me = state.player_pos[:, slots]  # (M, k, 2)

        bodies = np.empty((m, k, layout.order.shape[1], 4))
        bodies[..., :2] = pos[:, layout.order]
        bodies[:, :, 1:, :2] -= me[:, :, None]
        bodies[..., 2:] = vel[:, layout.order]
        parts = [(bodies * layout.body_scale).reshape(m, k, -1)]

        if self.goal_mouths:
            mouths = layout.mouths[None] - me[:, :, None]  # (M, k, 2, 2)
            parts.append((mouths * layout.point_scale).reshape(m, k, 4))
        if self.ball_prediction:
            future = self.env.predict_ball(self.ball_prediction)  # (M, K, 2)
            ahead = future[:, None] - me[:, :, None]
            parts.append((ahead * layout.point_scale).reshape(m, k, -1))
        if self.wall_rays:
            parts.append(layout.ray_distances(field, me))
        if self.obstacles and len(field.stadium.discs):
            discs = self.env.obstacle_discs()  # (D, 3), match 0's, static in practice
            rel = np.empty((m, k, len(discs), 3))
            rel[..., :2] = (discs[None, None, :, :2] - me[:, :, None]) * layout.point_scale
            rel[..., 2] = discs[:, 2] / field.extent[0]
            parts.append(rel.reshape(m, k, -1))
        out = np.concatenate(parts, axis=-1) if len(parts) > 1 else parts[0]
        return np.clip(out, -LIMIT, LIMIT).astype(np.float32)


class _Layout:
    """Index and scale arrays of one set of observed slots, made once."""

    def __init__(self, field: Field, slots: np.ndarray, n_rays: int) -> None:
        slots = np.asarray(slots, np.int64)
        p = field.n_players
        team = field.teams
        order = []
        for j in slots:
            mates = [s for s in range(p) if team[s] == team[j] and s != j]
            rivals = [s for s in range(p) if team[s] != team[j]]
            # Body 0 of `pos` is the ball, body 1 + s is slot s.
            order.append([1 + j, 0] + [1 + s for s in mates + rivals])
        self.order = np.array(order, np.int64)  # (k, 1 + P)
        mirror = field.mirror[slots][:, None]  # (k, 1)
        self.point_scale = np.stack([mirror[:, 0] / field.extent[0], np.full(len(slots), 1 / field.extent[1])], -1)[
            :, None
        ]  # (k, 1, 2)
        speed = np.stack([mirror[:, 0] / field.speed, np.full(len(slots), 1 / field.speed)], -1)[:, None]
        self.body_scale = np.concatenate([self.point_scale, speed], axis=-1)  # (k, 1, 4)
        self.mouths = np.stack([field.attack[slots], field.defend[slots]], axis=1)  # (k, 2, 2)

        angles = 2 * np.pi * np.arange(n_rays) / max(n_rays, 1)
        # Ray r of slot j, in the engine frame: its own frame mirrored back.
        self.rays = np.stack([np.cos(angles)[None] * mirror, np.broadcast_to(np.sin(angles), (len(slots), n_rays))], -1)

    def ray_distances(self, field: Field, me: np.ndarray) -> np.ndarray:
        """Distance along each ray to the nearest wall, over the diagonal, at most 1."""
        far = field.diagonal
        walls = field.walls
        if not len(walls):
            return np.ones(me.shape[:2] + (self.rays.shape[1],), np.float64)
        start, edge = walls[:, :2], walls[:, 2:] - walls[:, :2]  # (W, 2)
        d = self.rays[None, :, :, None, :]  # (1, k, R, 1, 2)
        offset = start[None, None, None] - me[:, :, None, None, :]  # (M, k, 1, W, 2)
        denom = d[..., 0] * edge[:, 1] - d[..., 1] * edge[:, 0]  # (1, k, R, W)
        with np.errstate(divide="ignore", invalid="ignore"):
            t = (offset[..., 0] * edge[:, 1] - offset[..., 1] * edge[:, 0]) / denom
            u = (offset[..., 0] * d[..., 1] - offset[..., 1] * d[..., 0]) / denom
        hit = (denom != 0) & (t >= 0) & (u >= 0) & (u <= 1)
        nearest = np.where(hit, t, far).min(axis=-1)
        return np.minimum(nearest / far, 1.0)
