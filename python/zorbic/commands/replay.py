"""`replay`: check a replay, or turn it into a GIF, an MP4 or a viewer page."""

from __future__ import annotations

import argparse
from pathlib import Path

from zorbic.commands.base import Command, CommandError, picture_size, printable
from zorbic.common.files import check_outputs


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", type=Path, help="a replay file (.zrp)")
    parser.add_argument("--verify", action="store_true", help="re-simulate every step; exit 0 only if all match")
    parser.add_argument("--gif", type=Path, metavar="OUT", help="write an animated GIF")
    parser.add_argument("--mp4", type=Path, metavar="OUT", help="write an MP4 video")
    parser.add_argument("--html", type=Path, metavar="OUT", help="write a self-contained HTML viewer")
    parser.add_argument(
        "--size", type=picture_size, default=(800, 400), help="picture size WIDTHxHEIGHT (default 800x400)"
    )


def run(args: argparse.Namespace) -> int:
    from zorbic.display.render import Renderer
    from zorbic.display.video import MP4_SUFFIX, replay_fps, replay_pictures, write_gif, write_mp4
    from zorbic.display.viewer import write_viewer
    from zorbic.engine.stadium import read_stadium
    from zorbic.replays.format import load_replay
    from zorbic.replays.resimulate import verify

    outputs = [path for path in (args.gif, args.mp4, args.html) if path is not None]
    check_outputs(outputs, [args.file])
    if args.mp4 is not None and args.mp4.suffix.lower() != MP4_SUFFIX:
        raise CommandError(f"--mp4 {printable(args.mp4)}: an MP4 file name must end in {MP4_SUFFIX}")
    replay = load_replay(args.file)
    stadium = read_stadium(replay.stadium)
    print(
        f"{printable(args.file)}: {printable(stadium.name or 'unnamed stadium')}, {replay.n_red} v {replay.n_blue},"
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
        print(f"wrote {printable(args.gif)} ({frames} frames)")
    if args.mp4:
        write_mp4(replay_pictures(replay, Renderer(stadium, width, height)), args.mp4, replay_fps(replay), frames)
        print(f"wrote {printable(args.mp4)} ({frames} frames)")
    if args.html:
        write_viewer(replay, args.html, width, height)
        print(f"wrote {printable(args.html)}")
    return 0


COMMAND = Command("replay", "check a replay, or turn it into a GIF, an MP4 or a viewer page", configure, run)
