"""The set-up an agent was trained with, as plain JSON values, and back.

Agent files and model files both keep it: the matches an agent plays must
be the matches it learned on (team sizes, stadium, tick_skip, the
observation layout and the action table).
"""

from __future__ import annotations

from typing import Any

from zorbic.core.match_setup import MatchSetup
from zorbic.engine.stadium import stadium_text
from zorbic.parts.actions import BUILT_IN as ACTION_TABLES
from zorbic.parts.actions import make_action_parser
from zorbic.parts.observations import EgocentricObservation

ACTION_NAMES = {parser: name for name, parser in ACTION_TABLES.items()}


def saved_setup(setup: MatchSetup) -> dict[str, Any]:
    """What a file must hold to rebuild the matches of `setup`: plain JSON values."""
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
    """MatchSetup keywords from `saved_setup`'s values; the defaults for a file saved without them.

    Args:
        saved: the values `saved_setup` wrote, or None.

    Raises:
        ValueError: the values do not build a set-up.
    """
    if saved is None:
        return {}
    try:
        if not isinstance(saved, dict) or not isinstance(saved.get("observation"), dict):
            raise TypeError("the set-up and its observation must be JSON objects")
        keywords = {key: saved[key] for key in ("n_red", "n_blue", "stadium", "tick_skip", "max_steps")}
        stadium = keywords["stadium"]
        # A stadium argument that is not stadium text is read as a path: from a
        # file someone sent, that would read whatever file they named here.
        if stadium is not None and not (isinstance(stadium, str) and stadium.lstrip("\ufeff \t\r\n").startswith("{")):
            raise TypeError("the stadium must be stadium text (a JSON object) or null")
        keywords["obs_builder"] = EgocentricObservation(**saved["observation"])
        keywords["action_parser"] = saved["actions"]
        MatchSetup(**keywords)
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"the model's saved set-up does not read: {type(error).__name__}: {error}") from error
    return keywords
