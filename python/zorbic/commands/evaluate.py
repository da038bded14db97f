"""`evaluate`: play matches of a saved model against an opponent and count its wins."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from zorbic.agents import load_policy
from zorbic.commands.base import SEED, TRUST_PICKLE_HELP, Command, whole_number
from zorbic.core.match_setup import MatchSetup
from zorbic.parts.actions import make_action_parser
from zorbic.parts.opponents import BUILT_IN
from zorbic.training.evaluate import SIDES, play_matches


def _opponent(choice: str, trust_pickle: bool) -> tuple[Any, str, dict[str, Any] | None]:
    if choice in BUILT_IN:
        return choice, choice, None
    if not Path(choice).is_file():
        raise ValueError(f"--against {choice!r} is none of {', '.join(sorted(BUILT_IN))} and no agent file")
    policy, setup = load_policy(choice, trust_pickle=trust_pickle)
    return policy, Path(choice).name, setup


MATCHES = whole_number(1, 100_000)


def _win_rate(text: str) -> float:
    try:
        rate = float(text)
    except ValueError:
        rate = float("nan")
    if not 0.0 <= rate <= 1.0:
        raise argparse.ArgumentTypeError(f"a win rate is a fraction from 0 to 1, got {text!r}")
    return rate


def configure(parser: argparse.ArgumentParser) -> None:
    """The command's arguments."""
    parser.add_argument("model", type=Path, help="an agent file (.agent), as scripts/train and export write")
    parser.add_argument(
        "--against",
        required=True,
        metavar="OPPONENT",
        help=f"{', '.join(sorted(BUILT_IN))}, or another agent file (a 1 v 1 one plays every slot of a team)",
    )
    # All matches of a side run in one batch, so their number sets its memory.
    parser.add_argument("--matches", type=MATCHES, default=1000, help="matches to play, 1 to 100000 (default 1000)")
    parser.add_argument(
        "--seed", type=SEED, default=0, help="seed of the opponent's and the set-up's draws (default 0)"
    )
    parser.add_argument(
        "--side", choices=SIDES, default="red", help="the team the model plays (default red, which kicks off)"
    )
    parser.add_argument(
        "--deterministic", action="store_true", help="take the model's most likely actions instead of drawing them"
    )
    parser.add_argument("--trust-pickle", action="store_true", help=TRUST_PICKLE_HELP)
    parser.add_argument(
        "--at-least",
        type=_win_rate,
        default=None,
        metavar="RATE",
        help="exit with status 1 when the win rate is below RATE, a fraction from 0 to 1 (for scripts and CI)",
    )


def run(args: argparse.Namespace) -> int:
    """Play the matches and print the counts; the exit status."""
    from zorbic.parts.observations import EgocentricObservation
    from zorbic.parts.opponents import PolicyOpponent
    from zorbic.training.single_view import SingleView

    policy, setup = load_policy(args.model, trust_pickle=args.trust_pickle)
    against, label, their_setup = _opponent(args.against, args.trust_pickle)
    if sys.modules.get("torch") is not None:
        import torch

        # Small networks: more threads only spin against the engine's pool.
        torch.set_num_threads(1)
    if their_setup is not None:
        # The other model sees the match through its own observations.
        mine = MatchSetup(**setup)
        theirs = MatchSetup(**their_setup)
        view = theirs.obs_builder
        other_kind = theirs.tick_skip != mine.tick_skip
        if (theirs.n_red, theirs.n_blue) == (1, 1) and mine.n_blue > 1 and isinstance(view, EgocentricObservation):
            # A 1 v 1 agent plays every slot of the other team, each copy seeing a 1 v 1.
            view, label = SingleView(view), f"{label} in every slot"
        else:
            # Each model's own team is its n_red: the other's team must be this one's rivals.
            other_kind |= (theirs.n_red, theirs.n_blue) != (mine.n_blue, mine.n_red)
        if other_kind:
            raise ValueError(f"{args.against} was trained for another kind of match than {args.model}")
        against = PolicyOpponent(against, view, make_action_parser(theirs.action_parser))
    result = play_matches(
        policy, against, args.matches, args.seed, side=args.side, deterministic=args.deterministic, label=label, **setup
    )
    print(result.line())
    if args.at_least is not None and result.win_rate < args.at_least:
        print(f"the win rate {100 * result.win_rate:.1f} % is below {100 * args.at_least:g} %", file=sys.stderr)
        return 1
    return 0


COMMAND = Command("evaluate", "play matches of a saved model against an opponent and count its wins", configure, run)
