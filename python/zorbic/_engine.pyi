from typing import Any, Final

GOAL_COUNTDOWN: Final[int]
KICK_REACH: Final[float]
MAX_PLAYERS: Final[int]
GROUPS: Final[dict[str, int]]
BALL_CGROUP: Final[int]
BALL_CMASK: Final[int]
PLAYER_CMASK: Final[int]
CLASSIC_TEXT: Final[str]

def compile_stadium(text: str, /) -> dict[str, Any]: ...
