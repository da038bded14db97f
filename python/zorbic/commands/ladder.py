"""`ladder`: play every entry against every other, rate them and rank them."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from zorbic.commands.base import SEED, TRUST_PICKLE_HELP, Command, CommandError, printable, whole_number
from zorbic.common.files import check_outputs
from zorbic.parts.opponents import BUILT_IN

# Every pair's matches run in one batch per side, so their number sets its memory.
MATCHES = whole_number(1, 100_000)


def configure(parser: argparse.ArgumentParser) -> None:
    """The command's arguments."""
    parser.add_argument(
        "entries",
        nargs="+",
        metavar="ENTRY",
        help=f"an agent file (.agent) or a built-in opponent ({', '.join(sorted(BUILT_IN))}); at least two",
    )
    parser.add_argument(
        "--matches", type=MATCHES, default=100, help="matches per pair, half on each side, 1 to 100000 (default 100)"
    )
    parser.add_argument("--seed", type=SEED, default=0, help="seed of every draw of the ladder (default 0)")
    parser.add_argument(
        "--out", type=Path, help="folder to write ratings.json, win-matrix.png and ladder.md into (made if missing)"
    )
    parser.add_argument("--trust-pickle", action="store_true", help=TRUST_PICKLE_HELP)


def _check_folder(folder: Path, inputs: list[str]) -> None:
    from zorbic.training.ladder import OUTPUTS

    if folder.exists() and not folder.is_dir():
        raise CommandError(f"--out {printable(folder)}: not a folder")
    if not folder.exists() and not folder.parent.is_dir():
        raise CommandError(f"--out {printable(folder)}: the folder {printable(folder.parent)} does not exist")
    if folder.is_dir():
        check_outputs([folder / name for name in OUTPUTS], [entry for entry in inputs if Path(entry).is_file()])


def run(args: argparse.Namespace) -> int:
    """Read the entries, play the ladder, print the table and write the files; the exit status."""
    from zorbic.training.ladder import play_ladder, read_entry, write_ladder

    if args.out is not None:
        _check_folder(args.out, args.entries)
    entries = [read_entry(text, trust_pickle=args.trust_pickle) for text in args.entries]
    if sys.modules.get("torch") is not None:
        import torch

        # Small networks: more threads only spin against the engine's pool.
        torch.set_num_threads(1)
    ladder = play_ladder(entries, args.matches, args.seed)
    print(f"{len(entries)} entries, {args.matches} matches per pair, seed {args.seed}:")
    for line in ladder.table().splitlines():
        print(printable(line))
    if args.out is not None:
        args.out.mkdir(exist_ok=True)
        written = write_ladder(ladder, args.out)
        print("wrote " + ", ".join(printable(path) for path in written))
    return 0


COMMAND = Command("ladder", "play every entry against every other, rate them and rank them", configure, run)
