"""`export`: turn a trained stable-baselines3 model into an agent file that is safe to share."""

from __future__ import annotations

import argparse
from pathlib import Path

from zorbic.commands.base import Command, CommandError

HELP = "write an agent file (weights and set-up, no code) from a stable-baselines3 model"
DESCRIPTION = (
    HELP + ". Reading the model unpickles it, which runs any code in it: export only models you trained or trust."
    " The agent file it writes holds numbers and JSON only, and is what to hand to others."
)


def configure(parser: argparse.ArgumentParser) -> None:
    """The command's arguments."""
    parser.description = DESCRIPTION
    parser.add_argument("model", type=Path, help="a model.zip that scripts/train wrote (your own file)")
    parser.add_argument("--out", type=Path, required=True, help="the agent file to write (.agent)")


def run(args: argparse.Namespace) -> int:
    """Read the model (trusting it: it is the user's own), write the agent file."""
    from zorbic.agents import AGENT_SUFFIX, agent_from_policy, load_agent, save_agent, saved_setup
    from zorbic.core.match_setup import MatchSetup
    from zorbic.training.model_files import load_model

    if args.out.suffix != AGENT_SUFFIX:
        raise CommandError(f"--out {args.out}: an agent file's name ends with {AGENT_SUFFIX}")
    policy, setup = load_model(args.model)
    agent = agent_from_policy(policy, saved_setup(MatchSetup(**setup)))
    save_agent(agent, args.out)
    load_agent(args.out)  # what others will read must read back
    print(f"wrote {args.out}: {len(agent.weights)} layers, {agent.obs_dim} observations, actions {agent.action_dims}")
    return 0


COMMAND = Command("export", HELP, configure, run)
