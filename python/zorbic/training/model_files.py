"""Model files: the set-up a model was trained with, and reading a model back.

A stable-baselines3 model file holds the network and its spaces but not
the matches it was trained on: the trainer saves `saved_setup` with it
(plain JSON values under "zorbic_setup"), and `load_model` rebuilds the
MatchSetup keywords from them and checks that they fit the network. A model
saved without them is taken for the default set-up, if its spaces fit.
stable-baselines3 is imported only to read a file.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup
from zorbic.engine.stadium import stadium_text
from zorbic.parts.actions import BUILT_IN as ACTION_TABLES
from zorbic.parts.actions import make_action_parser
from zorbic.parts.observations import EgocentricObservation

ACTION_NAMES = {parser: name for name, parser in ACTION_TABLES.items()}


def saved_setup(setup: MatchSetup) -> dict[str, Any]:
    """What a model file must hold to rebuild its matches: plain JSON values."""
    builder = setup.obs_builder
    if not isinstance(builder, EgocentricObservation) or type(setup.action_parser) not in ACTION_NAMES:
        raise ValueError("only the built-in egocentric observation and action tables can be saved with a model")
    return {
        "n_red": setup.n_red,
        "n_blue": setup.n_blue,
        "stadium": None if setup.stadium is None else stadium_text(setup.stadium),
        "tick_skip": setup.tick_skip,
        "max_steps": setup.max_steps,
        "observation": {
            "goal_mouths": builder.goal_mouths,
            "ball_prediction": list(builder.ball_prediction),
            "wall_rays": builder.wall_rays,
            "obstacles": builder.obstacles,
        },
        "actions": ACTION_NAMES[type(make_action_parser(setup.action_parser))],
    }


def setup_from_saved(saved: dict[str, Any] | None) -> dict[str, Any]:
    """MatchSetup keywords from `saved_setup`'s values; the defaults for a model saved without them."""
    if saved is None:
        return {}
    try:
        keywords = {key: saved[key] for key in ("n_red", "n_blue", "stadium", "tick_skip", "max_steps")}
        keywords["obs_builder"] = EgocentricObservation(**saved["observation"])
        keywords["action_parser"] = saved["actions"]
        MatchSetup(**keywords)
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"the model's saved set-up does not read: {type(error).__name__}: {error}") from error
    return keywords


def load_model(path: str | os.PathLike[str]) -> tuple[Any, dict[str, Any]]:
    """The policy of a saved stable-baselines3 model and the set-up keywords it was trained with."""
    try:
        from stable_baselines3.common.save_util import load_from_zip_file
    except ImportError as error:
        raise ValueError(f"reading {path} needs stable-baselines3: install the [sb3] extra ({error})") from error
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such model file")
    try:
        data, params, _ = load_from_zip_file(path, device="cpu", print_system_info=False)
        policy = data["policy_class"](
            data["observation_space"], data["action_space"], lambda _: 0.0, **data.get("policy_kwargs", {})
        )
        policy.load_state_dict(params["policy"])
    except Exception as error:  # a damaged or foreign file fails in many places of the reader
        raise ValueError(f"{path}: not a readable stable-baselines3 model ({type(error).__name__}: {error})") from error
    policy.set_training_mode(False)
    setup = setup_from_saved(data.get("zorbic_setup"))
    batch = SoccerBatch(1, MatchSetup(**setup))
    if policy.observation_space.shape != batch.observation_space.shape or policy.action_space != batch.action_space:
        raise ValueError(
            f"{path}: the model takes observations {policy.observation_space.shape} and actions {policy.action_space},"
            f" its matches give {batch.observation_space.shape} and {batch.action_space}"
        )
    return policy, setup
