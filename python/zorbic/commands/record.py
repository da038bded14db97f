"""`record`: play a match between built-in policies and record it."""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

from zorbic.commands.base import SEED, Command, printable, whole_number
from zorbic.common.files import check_outputs

# A million steps of eight ticks are well over a day of play: a longer
# recording is a typing mistake more likely than a wish.
MAX_STEPS = 1_000_000


def configure(parser: argparse.ArgumentParser) -> None:
    from zorbic.parts.opponents import BUILT_IN
    from zorbic.replays.format import MAX_PLAYERS, MAX_TICK_SKIP

    policies = sorted(BUILT_IN)
    players = whole_number(0, MAX_PLAYERS)
    parser.add_argument("--out", required=True, type=Path, help="the replay file to write (.zrp)")
    parser.add_argument("--n-red", type=players, default=3, help="red players (default 3)")
    parser.add_argument("--n-blue", type=players, default=3, help="blue players (default 3)")
    parser.add_argument("--stadium", type=Path, help="a .zsm stadium file (default: the classic stadium)")
    parser.add_argument(
        "--steps",
        type=whole_number(0, MAX_STEPS),
        default=600,
        help=f"steps to play (default 600, at most {MAX_STEPS})",
    )
    parser.add_argument(
        "--tick-skip",
        type=whole_number(1, MAX_TICK_SKIP),
        default=8,
        help=f"physics ticks per step (default 8, at most {MAX_TICK_SKIP})",
    )
    parser.add_argument("--red", choices=policies, default="chaser", help="what drives red (default chaser)")
    parser.add_argument("--blue", choices=policies, default="random", help="what drives blue (default random)")
    parser.add_argument("--seed", type=SEED, default=0, help="seed of the random policies (default 0)")


def run(args: argparse.Namespace) -> int:
    from zorbic.core.state import Field, read_state
    from zorbic.engine.stadium import read_stadium, stadium_text
    from zorbic.parts.opponents import make_opponent
    from zorbic.replays.recording import RecordingVecEnv

    check_outputs([args.out], [args.stadium] if args.stadium else [])
    if args.n_red + args.n_blue < 1:
        raise ValueError("--n-red and --n-blue must add up to at least 1")
    text = stadium_text(args.stadium)
    stadium = read_stadium(text)
    env = RecordingVecEnv.from_zsm(text, 1, args.n_red, args.n_blue, tick_skip=args.tick_skip)
    field = Field.of(env.env, stadium, args.n_red, args.n_blue)
    sides = [
        (make_opponent(policy), np.arange(first, first + count))
        for policy, first, count in ((args.red, 0, args.n_red), (args.blue, args.n_red, args.n_blue))
        if count
    ]
    scored = np.full(1, -1, np.int8)
    episode_steps = np.zeros(1, np.int64)
    # One episode for the whole recording: goals do not end it.
    playing_on = np.zeros(1, bool)
    state = read_state(env.env, episode_steps, scored, playing_on)
    for (opponent, slots), rng in zip(sides, np.random.SeedSequence(args.seed).spawn(len(sides))):
        opponent.seed(np.random.default_rng(rng))
        opponent.reset(state, field, slots, np.ones(1, bool))
    actions = np.zeros((1, env.n_players, 3), np.int64)
    for _ in range(args.steps):
        for opponent, slots in sides:
            actions[:, slots] = opponent.act(state, field, slots)
        scored = env.physics_step(actions)
        episode_steps += 1
        state = read_state(env.env, episode_steps, scored, playing_on)
    env.save(args.out)
    print(f"recorded {args.steps} steps to {printable(args.out)}")
    return 0


COMMAND = Command("record", "play a match between built-in policies and record it", configure, run)
