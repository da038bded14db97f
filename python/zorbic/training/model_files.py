"""Model files: the set-up a model was trained with, and reading a model back.

A stable-baselines3 model file holds the network and its spaces but not
the matches it was trained on: the trainer saves `saved_setup` with it
(plain JSON values under "zorbic_setup"), and `load_model` rebuilds the
MatchSetup keywords from them and checks that they fit the network. A model
saved without them is taken for the default set-up, if its spaces fit.
stable-baselines3 is imported only to read a file.

Reading such a file unpickles it, which runs any code its author put in
it: only `zorbic.agents.load_policy(path, trust_pickle=True)` and the
commands' --trust-pickle reach `load_model` with a file a user was handed.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from zorbic.agents.setup import saved_setup, setup_from_saved
from zorbic.core.batch import SoccerBatch
from zorbic.core.match_setup import MatchSetup

__all__ = ["load_model", "saved_setup", "setup_from_saved"]


def load_model(path: str | os.PathLike[str]) -> tuple[Any, dict[str, Any]]:
    """The policy of a saved stable-baselines3 model and the set-up keywords it was trained with.

    This unpickles the file: call it only on a file you trust (see `zorbic.agents.load_policy`).
    """
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
