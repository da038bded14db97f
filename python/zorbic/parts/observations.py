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
                    by the half width), ordered by x then y in the observer's
                    frame as they stood at the start

Every entry is clipped to [-LIMIT, LIMIT]: inside a walled stadium nothing
comes near it, and a body that leaves an open one cannot swamp a network.
"""

from __future__ import annotations

import weakref
from abc import ABC, abstractmethod
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from gymnasium import spaces

from zorbic import _fast
from zorbic.common.buffers import Recycler
from zorbic.common.checks import boolean, non_negative_int, positive_int
from zorbic.core.state import BatchState, Field

LIMIT = 10.0


def _nothing() -> None:
    """A dead reference: no field is the last one asked about yet."""
    return None


class ObservationBuilder(ABC):
    """Base of the observation builders: `size` and `build` are required, `reset` optional."""

    @abstractmethod
    def size(self, field: Field) -> int:
        """Length of one learner's observation vector."""
        raise NotImplementedError

    def space(self, field: Field) -> spaces.Box:
        """The space of one learner's observation: `size(field)` entries in [-LIMIT, LIMIT]."""
        return spaces.Box(-LIMIT, LIMIT, shape=(self.size(field),), dtype=np.float32)

    def reset(self, state: BatchState, field: Field, slots: np.ndarray, which: np.ndarray) -> None:
        """Matches `which` (M,) restarted; builders with memory forget them here."""

    @abstractmethod
    def build(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        """Observations of `slots` in every match, float32 (M, len(slots), size)."""


class EgocentricObservation(ObservationBuilder):
    """The egocentric view described above.

    Args:
        goal_mouths: add the attacked and the defended goal mouth.
        ball_prediction: ascending tick offsets (each at least 1) at which to add the ball's predicted position.
        wall_rays: how many rays measure the distance to the nearest straight wall.
        obstacles: add every obstacle disc.
    """

    # The compiled gather (zorbic._fast) lays out, subtracts, scales and clips
    # in single precision exactly as the NumPy lines below it; False takes those.
    fast = True

    def __init__(
        self,
        *,
        goal_mouths: bool = False,
        ball_prediction: Sequence[int] = (),
        wall_rays: int = 0,
        obstacles: bool = False,
    ) -> None:
        offsets = [positive_int("a ball_prediction offset", k) for k in ball_prediction]
        if offsets != sorted(offsets):
            raise ValueError("ball_prediction must be ascending tick offsets of at least 1")
        self.goal_mouths = boolean("goal_mouths", goal_mouths)
        self.ball_prediction = offsets
        self.wall_rays = non_negative_int("wall_rays", wall_rays)
        self.obstacles = boolean("obstacles", obstacles)
        self._plans: weakref.WeakKeyDictionary[Field, dict[bytes | tuple[int, ...], _Plan]] = (
            weakref.WeakKeyDictionary()
        )
        self._last: tuple[Callable[[], Field | None], dict[bytes | tuple[int, ...], _Plan]] = (_nothing, {})

    def __getstate__(self) -> dict[str, Any]:
        # The plans belong to the batches of this process; a copy sent elsewhere makes its own.
        return {**self.__dict__, "_plans": None, "_last": None}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state, _plans=weakref.WeakKeyDictionary(), _last=(_nothing, {}))

    def size(self, field: Field) -> int:
        return (
            4 * (1 + field.n_players)
            + 4 * self.goal_mouths
            + 2 * len(self.ball_prediction)
            + self.wall_rays
            + 3 * len(field.obstacles) * self.obstacles
        )

    def build(self, state: BatchState, field: Field, slots: np.ndarray) -> np.ndarray:
        plan = self._plan(field, slots)
        m = state.n_matches
        columns = [state.ball_pos, state.ball_vel, state.player_pos, state.player_vel]
        if self.ball_prediction:
            columns.append(field.engine.predict_ball(self.ball_prediction).reshape(m, -1))
        if self.wall_rays:
            columns.append(plan.ray_distances(field, state.player_pos).reshape(m, -1))
        if self.obstacles:
            # Match 0's discs: they stand still unless the stadium makes them movable.
            columns.append(np.broadcast_to(field.engine.obstacle_discs().reshape(1, -1), (m, 3 * len(field.obstacles))))
        table, constants, minus = plan.buffers(m)
        out = plan.results.take()
        if self.fast:
            _fast.observe(tuple(columns), plan.constants, plan.take, plan.minus, plan.scale, LIMIT, out)
            return out.reshape(m, len(slots), -1)
        columns = [c.reshape(m, -1) for c in columns]
        columns.append(constants)
        # Single precision from here on, which the result has anyway: half the
        # bytes to move, and x -> -x stays exact, so mirrored views still agree.
        np.concatenate(columns, axis=1, out=table, casting="same_kind")
        # mode="clip" keeps take from buffering its output; every index is in range.
        np.take(table, plan.take, axis=1, out=out, mode="clip")
        np.take(table, plan.minus, axis=1, out=minus, mode="clip")
        out -= minus
        out *= plan.scale
        np.clip(out, -LIMIT, LIMIT, out=out)
        return out.reshape(m, len(slots), -1)

    def _plan(self, field: Field, slots: np.ndarray) -> _Plan:
        """The plan of these slots on this field, made on first use."""
        # The last field asked about is looked up first: nearly every call is
        # from the one batch a builder serves.
        field_ref, plans = self._last
        if field_ref() is not field:
            plans = self._plans.setdefault(field, {})
            self._last = (weakref.ref(field), plans)
        key = slots.tobytes() if isinstance(slots, np.ndarray) and slots.dtype == np.intp else tuple(map(int, slots))
        plan = plans.get(key)
        if plan is None:
            plan = plans[key] = _Plan(self, field, np.array([int(s) for s in slots], np.intp))
        return plan


class _Plan:
    """Where each observed value comes from, made once per set of slots.

    A step lays every value it may need side by side in one table row per
    match (the snapshot, then the optional engine queries, then constants);
    an observation entry is then (table[take] - table[minus]) * scale, which
    is a relative position when `minus` points at the observer's own
    coordinate and a plain value when it points at the constant 0.
    """

    def __init__(self, builder: EgocentricObservation, field: Field, slots: np.ndarray) -> None:
        p = field.n_players
        ball, ball_vel = 0, 2
        position, velocity = 4, 4 + 2 * p  # slot s: x at position + 2s, y after it
        width = 4 + 4 * p
        predictions = width
        width += 2 * len(builder.ball_prediction)
        rays = width
        width += len(slots) * builder.wall_rays
        obstacles = width
        width += 3 * len(field.obstacles) * builder.obstacles
        mouths = np.stack([field.attack[slots], field.defend[slots]], axis=1).reshape(-1)  # (k * 4,)
        self.constants = np.concatenate([mouths if builder.goal_mouths else [], [0.0]]).astype(np.float32)
        zero = width + len(self.constants) - 1

        take: list[int] = []
        minus: list[int] = []
        scale: list[float] = []
        for i, s in enumerate(slots):
            me = position + 2 * int(s)
            sx, sy = field.mirror[s] / field.extent[0], 1.0 / field.extent[1]
            vx, vy = field.mirror[s] / field.speed, 1.0 / field.speed

            # Called within this iteration only, so the loop's values are the ones meant.
            def point(x: int, relative: bool = True) -> None:
                take.extend((x, x + 1))
                minus.extend((me, me + 1) if relative else (zero, zero))  # noqa: B023
                scale.extend((sx, sy))  # noqa: B023

            def speed(x: int) -> None:
                take.extend((x, x + 1))
                minus.extend((zero, zero))
                scale.extend((vx, vy))  # noqa: B023

            mates = [t for t in range(p) if field.teams[t] == field.teams[s] and t != s]
            rivals = [t for t in range(p) if field.teams[t] != field.teams[s]]
            point(me, relative=False)
            speed(velocity + 2 * int(s))
            point(ball)
            speed(ball_vel)
            for t in mates + rivals:
                point(position + 2 * t)
                speed(velocity + 2 * t)
            if builder.goal_mouths:
                point(width + 4 * i)
                point(width + 4 * i + 2)
            for k in range(len(builder.ball_prediction)):
                point(predictions + 2 * k)
            for r in range(builder.wall_rays):
                take.append(rays + i * builder.wall_rays + r)
                minus.append(zero)
                scale.append(1.0)
            if builder.obstacles:
                # In the observer's own frame, ordered by x then y, so that both
                # sides of a symmetric stadium list its discs alike.
                seen = field.obstacles[:, :2] * [field.mirror[s], 1.0]
                for d in np.lexsort((seen[:, 1], seen[:, 0])):
                    point(obstacles + 3 * d)
                    take.append(obstacles + 3 * d + 2)
                    minus.append(zero)
                    scale.append(1.0 / field.extent[0])
        self.take = np.array(take, np.intp)
        self.minus = np.array(minus, np.intp)
        self.scale = np.array(scale, np.float32)
        self.slots = slots
        self.width = zero + 1
        self._matches = -1

        angles = 2 * np.pi * np.arange(builder.wall_rays) / max(builder.wall_rays, 1)
        # Ray r of each slot in the engine frame: its own frame mirrored back.
        self.ray_x = np.cos(angles)[None] * field.mirror[slots][:, None]  # (k, R)
        self.ray_y = np.broadcast_to(np.sin(angles), self.ray_x.shape)

    def buffers(self, n_matches: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The table, its constant columns and the second gather, kept between
        steps; results are recycled."""
        if n_matches != self._matches:
            self._matches = n_matches
            self._table = np.empty((n_matches, self.width), np.float32)
            self._constants = np.broadcast_to(self.constants, (n_matches, len(self.constants)))
            self._minus = np.empty((n_matches, len(self.take)), np.float32)
            self.results = Recycler((n_matches, len(self.take)), np.float32)
        return self._table, self._constants, self._minus

    def ray_distances(self, field: Field, player_pos: np.ndarray) -> np.ndarray:
        """Distance along each ray to the nearest wall, over the diagonal, at most 1: (M, k, R)."""
        far = field.diagonal
        me = player_pos[:, self.slots]
        shape = me.shape[:2] + self.ray_x.shape[1:]
        if not len(field.walls):
            return np.ones(shape)
        x0, y0 = field.walls[:, 0], field.walls[:, 1]
        ex, ey = field.walls[:, 2] - x0, field.walls[:, 3] - y0
        dx, dy = self.ray_x[None, :, :, None], self.ray_y[None, :, :, None]  # (1, k, R, 1)
        ox = x0 - me[:, :, None, None, 0]  # (M, k, 1, W)
        oy = y0 - me[:, :, None, None, 1]
        denom = dx * ey - dy * ex
        with np.errstate(divide="ignore", invalid="ignore"):
            t = (ox * ey - oy * ex) / denom
            u = (ox * dy - oy * dx) / denom
        hit = (denom != 0) & (t >= 0) & (u >= 0) & (u <= 1)
        return np.minimum(np.where(hit, t, far).min(axis=-1) / far, 1.0)
