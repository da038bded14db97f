"""zorbic: training agents on the `zorbic_core` batch simulator.

Importing the package registers the gymnasium id "zorbic/Soccer-v0":
`gymnasium.make` gives the single-agent face (`SoccerEnv`) and
`gymnasium.make_vec(..., vectorization_mode="vector_entry_point")` the
vector face over one batch (`SoccerVectorEnv`). `zorbic.faces.pettingzoo` has the
PettingZoo face. The parts of a set-up (observations, actions, rewards,
reset rules, opponents) are documented in their modules.
"""

from __future__ import annotations

import gymnasium

from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup, agent_names
from zorbic.core.observer import BatchObserver
from zorbic.core.state import BatchState, Field
from zorbic.engine.stadium import (
    Stadium,
    classic_text,
    load_stadium,
    read_stadium,
    stadium_text,
)
from zorbic.faces.gym_env import SoccerEnv
from zorbic.faces.gym_vector import SoccerVectorEnv
from zorbic.parts.actions import (
    ActionParser,
    DiscreteActions,
    MultiDiscreteActions,
    RawActions,
)
from zorbic.parts.observations import EgocentricObservation, ObservationBuilder
from zorbic.parts.opponents import (
    ChaserOpponent,
    IdleOpponent,
    Opponent,
    PolicyOpponent,
    RandomOpponent,
    make_opponent,
)
from zorbic.parts.resets import KickoffReset, RandomPlacement, ResetRule, StateReset
from zorbic.parts.rewards import (
    BallTowardsGoal,
    Combined,
    DistancePotential,
    GoalReward,
    PlayerTowardsBall,
    Reward,
    RewardTerm,
)
from zorbic.replays.format import Replay, ReplayError, load_replay
from zorbic.replays.recording import BatchRecorder, Recorder, RecordingVecEnv, record
from zorbic.replays.resimulate import verify


def __getattr__(name: str) -> type:
    # Drawing needs Pillow (the [render] extra): loaded only when asked for.
    if name == "Renderer":
        from zorbic.display.render import Renderer

        return Renderer
    raise AttributeError(f"module 'zorbic' has no attribute {name!r}")


ENV_ID = "zorbic/Soccer-v0"

if ENV_ID not in gymnasium.registry:
    gymnasium.register(
        id=ENV_ID,
        entry_point="zorbic.faces.gym_env:SoccerEnv",
        vector_entry_point="zorbic.faces.gym_vector:SoccerVectorEnv",
    )

__all__ = [
    "ENV_ID",
    "ActionParser",
    "BallTowardsGoal",
    "BatchObserver",
    "BatchRecorder",
    "BatchState",
    "ChaserOpponent",
    "Combined",
    "DiscreteActions",
    "DistancePotential",
    "EgocentricObservation",
    "Field",
    "GoalReward",
    "IdleOpponent",
    "KickoffReset",
    "MatchSetup",
    "MultiDiscreteActions",
    "ObservationBuilder",
    "Opponent",
    "PlayerTowardsBall",
    "PolicyOpponent",
    "RandomOpponent",
    "RandomPlacement",
    "RawActions",
    "Recorder",
    "RecordingVecEnv",
    "Renderer",
    "Replay",
    "ReplayError",
    "ResetRule",
    "Reward",
    "RewardTerm",
    "SoccerBatch",
    "SoccerEnv",
    "SoccerVectorEnv",
    "Stadium",
    "StateReset",
    "agent_names",
    "classic_text",
    "load_replay",
    "load_stadium",
    "make_opponent",
    "read_stadium",
    "record",
    "stadium_text",
    "verify",
]
