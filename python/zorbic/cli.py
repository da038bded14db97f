"""`python -m zorbic`: sub-commands for recording and showing matches.

Each sub-command is a `Command` put in by `register`; another module adds
one with a single `register(Command(...))` call here. A command returns its
exit status; a failure it expects (a bad file, a replay that does not
verify) is one line on stderr and status 1, a usage error argparse's 2.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Sequence

import numpy as np

from zorbic.evaluate import EVALUATE_HELP, configure_evaluate, run_evaluate

PROG = "python -m zorbic"


@dataclass(frozen=True)
class Command:
    name: str
    help: str
    configure: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


class CommandError(Exception):
    """A failure to report in one line, without a traceback."""


COMMANDS: dict[str, Command] = {}


def register(command: Command) -> Command:
    if command.name in COMMANDS:
        raise ValueError(f"a sub-command {command.name!r} is registered already")
    COMMANDS[command.name] = command
    return command


def _size(text: str) -> tuple[int, int]:
    width, _, height = text.lower().partition("x")
    try:
        size = (int(width), int(height))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT, such as 800x400") from None
    if min(size) < 16 or max(size) > 8192:
        raise argparse.ArgumentTypeError(f"{text!r}: each side must be from 16 to 8192 pixels")
    return size


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    return value


# ---------------------------------------------------------------- record


def _configure_record(parser: argparse.ArgumentParser) -> None:
    from zorbic.opponents import BUILT_IN

    policies = sorted(BUILT_IN)
    parser.add_argument("--out", required=True, type=Path, help="the replay file to write (.zrp)")
    parser.add_argument("--n-red", type=_count, default=3, help="red players (default 3)")
    parser.add_argument("--n-blue", type=_count, default=3, help="blue players (default 3)")
    parser.add_argument("--stadium", type=Path, help="a .zsm stadium file (default: the classic stadium)")
    parser.add_argument("--steps", type=_count, default=600, help="steps to play (default 600)")
    parser.add_argument("--tick-skip", type=_count, default=8, help="physics ticks per step (default 8)")
    parser.add_argument("--red", choices=policies, default="chaser", help="what drives red (default chaser)")
    parser.add_argument("--blue", choices=policies, default="random", help="what drives blue (default random)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the random policies (default 0)")


def _run_record(args: argparse.Namespace) -> int:
    from zorbic.opponents import make_opponent
    from zorbic.recording import RecordingVecEnv
    from zorbic.stadium import read_stadium, stadium_text
    from zorbic.state import Field, read_state

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
    print(f"recorded {args.steps} steps to {args.out}")
    return 0


# ---------------------------------------------------------------- replay


def _configure_replay(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", type=Path, help="a replay file (.zrp)")
    parser.add_argument("--verify", action="store_true", help="re-simulate every step; exit 0 only if all match")
    parser.add_argument("--gif", type=Path, metavar="OUT", help="write an animated GIF")
    parser.add_argument("--mp4", type=Path, metavar="OUT", help="write an MP4 video")
    parser.add_argument("--html", type=Path, metavar="OUT", help="write a self-contained HTML viewer")
    parser.add_argument("--size", type=_size, default=(800, 400), help="picture size WIDTHxHEIGHT (default 800x400)")


def _run_replay(args: argparse.Namespace) -> int:
    from zorbic.render import Renderer
    from zorbic.replay import load_replay
    from zorbic.resimulate import verify
    from zorbic.stadium import read_stadium
    from zorbic.video import replay_fps, replay_pictures, write_gif, write_mp4
    from zorbic.viewer import write_viewer

    replay = load_replay(args.file)
    stadium = read_stadium(replay.stadium)
    print(
        f"{args.file}: {stadium.name or 'unnamed stadium'}, {replay.n_red} v {replay.n_blue},"
        f" {replay.n_steps} steps of {replay.tick_skip} ticks, {len(replay.events)} events"
    )
    if args.verify:
        verdict = verify(replay)
        if not verdict.ok:
            raise CommandError(f"{args.file}: {verdict.message}")
        print(verdict.message)
    width, height = args.size
    frames = replay.n_steps + 1
    if args.gif:
        write_gif(replay_pictures(replay, Renderer(stadium, width, height)), args.gif, replay_fps(replay), frames)
        print(f"wrote {args.gif} ({frames} frames)")
    if args.mp4:
        write_mp4(replay_pictures(replay, Renderer(stadium, width, height)), args.mp4, replay_fps(replay), frames)
        print(f"wrote {args.mp4} ({frames} frames)")
    if args.html:
        write_viewer(replay, args.html, width, height)
        print(f"wrote {args.html}")
    return 0


register(Command("record", "play a match between built-in policies and record it", _configure_record, _run_record))
register(Command("replay", "check a replay, or turn it into a GIF, an MP4 or a viewer page", _configure_replay, _run_replay))
register(Command("evaluate", EVALUATE_HELP, configure_evaluate, run_evaluate))


def parser() -> argparse.ArgumentParser:
    """The command line with every registered sub-command."""
    top = argparse.ArgumentParser(prog=PROG, description="Record, check, show and evaluate Zorbic matches.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS.values():
        sub = commands.add_parser(command.name, help=command.help, description=command.help)
        command.configure(sub)
        sub.set_defaults(run=command.run)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    from zorbic.replay import ReplayError

    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except (CommandError, ReplayError, OSError, ValueError) as error:
        print(f"{PROG} {args.command}: error: {error}", file=sys.stderr)
        return 1
