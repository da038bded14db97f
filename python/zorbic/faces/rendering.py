"""What the faces share for `render_mode="rgb_array"`: frames of match 0.

Drawing needs the `[render]` extra (Pillow); it is imported on the first
frame, so a face that never renders does not need it.
"""

from __future__ import annotations

from typing import Any

from zorbic.engine.match_flow import TICKS_PER_SECOND

RENDER_MODES = ["rgb_array"]


def check_render_mode(render_mode: str | None) -> str | None:
    if render_mode not in (None, *RENDER_MODES):
        raise ValueError(f"render_mode must be None or one of {RENDER_MODES}, got {render_mode!r}")
    return render_mode


def render_metadata(tick_skip: int) -> dict[str, Any]:
    """A step lasts tick_skip ticks of a match played in real time."""
    return {"render_modes": RENDER_MODES, "render_fps": TICKS_PER_SECOND / tick_skip}


class RendersMatchZero:
    """`render()` for a face with a `batch` and a `render_mode`."""

    batch: Any
    render_mode: str | None
    _renderer: Any = None

    # Any, not np.ndarray | None: the faces' bases type their frames each in
    # their own way (gymnasium's Env as a type variable), and this serves all.
    def render(self) -> Any:
        """Match 0 as an RGB array (height, width, 3) of uint8, or None without a render mode."""
        if self.render_mode is None:
            return None
        if self._renderer is None:
            from zorbic.display.render import MatchRenderer

            self._renderer = MatchRenderer(self.batch)
        return self._renderer.render(0)

    def _stop_rendering(self) -> None:
        if self._renderer is not None:
            self.batch.remove_observer(self._renderer)
            self._renderer = None
