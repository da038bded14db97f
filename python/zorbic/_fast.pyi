import numpy as np
import numpy.typing as npt

def chaser(
    ball_pos: npt.NDArray[np.float64],
    player_pos: npt.NDArray[np.float64],
    slots: npt.NDArray[np.intp],
    attack: npt.NDArray[np.float64],
    touch: float,
    reach: float,
    kick: int,
    out: npt.NDArray[np.int64],
    first: int,
    /,
) -> None: ...
def observe(
    columns: tuple[npt.NDArray[np.float64], ...],
    constants: npt.NDArray[np.float32],
    take: npt.NDArray[np.intp],
    minus: npt.NDArray[np.intp],
    scale: npt.NDArray[np.float32],
    limit: float,
    out: npt.NDArray[np.float32],
    /,
) -> None: ...
def goal_reward(
    scored: npt.NDArray[np.int8], teams: npt.NDArray[np.int64], red: int, blue: int, out: npt.NDArray[np.float64], /
) -> None: ...
def narrow(actions: npt.NDArray[np.int64], out: npt.NDArray[np.int8], /) -> bool: ...
def discrete(
    actions: object,
    table: npt.NDArray[np.int64],
    offsets: npt.NDArray[np.int64],
    out: npt.NDArray[np.int64],
    first: int,
    k: int,
    /,
) -> bool: ...
def episode(
    scored: npt.NDArray[np.int8],
    steps: npt.NDArray[np.int64],
    terminated: npt.NDArray[np.bool_],
    truncated: npt.NDArray[np.bool_],
    max_steps: int,
    goals_end: bool,
    /,
) -> None: ...
