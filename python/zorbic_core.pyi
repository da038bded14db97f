from collections.abc import Sequence
from typing import Final, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "VecEnv",
    "disc_disc",
    "disc_vertex",
    "segment_no_curve",
    "segment_curve",
    "disc_plane",
    "FLAG_RED",
    "FLAG_BLUE",
]

FLAG_RED: Final = 2
FLAG_BLUE: Final = 4

_Float64Array = npt.NDArray[np.float64]
_Int64Array = npt.NDArray[np.int64]

# Whatever float() accepts.
_Real = SupportsFloat | SupportsIndex
_Point = tuple[_Real, _Real]
_Pair = tuple[float, float]

@final
class VecEnv:
    def __new__(
        cls,
        n_envs: SupportsIndex,
        n_red: SupportsIndex,
        n_blue: SupportsIndex,
        step_limit: SupportsIndex = 2400,
        tick_skip: SupportsIndex = 8,
    ) -> VecEnv: ...
    @staticmethod
    def from_zsm(
        zsm: str,
        n_envs: SupportsIndex,
        n_red: SupportsIndex,
        n_blue: SupportsIndex,
        step_limit: SupportsIndex = 2400,
        tick_skip: SupportsIndex = 8,
    ) -> VecEnv: ...
    @property
    def n_envs(self) -> int: ...
    @property
    def n_players(self) -> int: ...
    @property
    def obs_dim(self) -> int: ...
    def reset_all(self) -> None: ...
    def reset_mask(self, mask: npt.NDArray[np.bool_]) -> None: ...
    def physics_step(self, actions: _Int64Array) -> npt.NDArray[np.int8]: ...
    def snapshot(
        self,
    ) -> tuple[_Float64Array, _Float64Array, _Float64Array, _Float64Array, _Int64Array]: ...
    def set_state(
        self,
        ball_pos: _Float64Array,
        ball_vel: _Float64Array,
        player_pos: _Float64Array,
        player_vel: _Float64Array,
        steps: _Int64Array | None = None,
    ) -> None: ...
    def set_kick_rate_limit(self, min: SupportsIndex, cost: SupportsIndex, cap: SupportsIndex) -> None: ...
    def set_player_cmask(self, mask: SupportsIndex) -> None: ...
    def kick_state(self) -> tuple[_Int64Array, _Int64Array]: ...
    def teams(self) -> _Int64Array: ...
    @property
    def player_max_speed(self) -> float: ...
    def goals(self) -> tuple[_Float64Array, _Float64Array, _Int64Array]: ...
    def wall_segments(self) -> _Float64Array: ...
    def obstacle_discs(self) -> _Float64Array: ...
    def predict_ball(self, offsets: Sequence[SupportsIndex] | npt.NDArray[np.integer]) -> _Float64Array: ...
    def rollout_bench(self, n_steps: SupportsIndex) -> int: ...

def disc_disc(
    pa: _Point,
    pb: _Point,
    va: _Point,
    vb: _Point,
    ra: _Real,
    rb: _Real,
    ima: _Real,
    imb: _Real,
    ba: _Real,
    bb: _Real,
) -> tuple[_Pair, _Pair, _Pair, _Pair]: ...
def disc_vertex(pd: _Point, pv: _Point, v: _Point, radius: _Real, bd: _Real, bv: _Real) -> tuple[_Pair, _Pair]: ...
def segment_no_curve(pd: _Point, v0: _Point, v1: _Point) -> tuple[float, _Pair] | None: ...
def segment_curve(
    pd: _Point, c: _Point, cr: _Real, t0: _Point, t1: _Point, curve: _Real
) -> tuple[float, _Pair] | None: ...
def disc_plane(
    pd: _Point, normal: _Point, v: _Point, dist: _Real, radius: _Real, bd: _Real, bp: _Real
) -> tuple[_Pair, _Pair]: ...
