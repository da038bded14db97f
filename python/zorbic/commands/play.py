"""`play`: a person plays a match in the browser against agents or built-in opponents."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

from zorbic.commands.base import Command, whole_number


def configure(parser: argparse.ArgumentParser) -> None:
    from zorbic.parts.opponents import BUILT_IN

    choices = ", ".join(sorted(BUILT_IN))
    parser.add_argument(
        "--against", default="chaser", metavar="AGENT", help=f"an agent file, or one of {choices} (default chaser)"
    )
    parser.add_argument("--mates", metavar="AGENT", help="what drives your team-mates (default: as --against)")
    parser.add_argument("--n-red", type=whole_number(0, 32), help="red players (default: the agent's, else 1)")
    parser.add_argument("--n-blue", type=whole_number(0, 32), help="blue players (default: the agent's, else 1)")
    parser.add_argument("--side", choices=("red", "blue"), default="red", help="the team you play (default red)")
    parser.add_argument("--stadium", type=Path, help="a .zsm stadium file (default: the agent's, else classic)")
    parser.add_argument(
        "--port", type=whole_number(0, 65535), default=0, help="the port to serve on (default: any free one)"
    )
    parser.add_argument("--host", default="127.0.0.1", help="the address to serve on (default 127.0.0.1, this machine)")
    parser.add_argument(
        "--record", type=Path, help="the replay file to write (.zrp; default zorbic-play-<time>.zrp here)"
    )
    parser.add_argument("--no-browser", action="store_true", help="only print the page's address")
    parser.add_argument(
        "--trust-pickle",
        action="store_true",
        help="also read stable-baselines3 .zip models; reading one runs code stored in it, so only for your own files",
    )


def run(args: argparse.Namespace) -> int:
    import asyncio
    import webbrowser

    from zorbic.display.viewer import drawing
    from zorbic.engine.stadium import stadium_text
    from zorbic.play.lineup import Agent, choose, drivers
    from zorbic.play.match import LiveMatch
    from zorbic.play.server import PlayServer, serve

    against = choose(args.against, args.trust_pickle)
    mates = against if args.mates is None or args.mates == args.against else choose(args.mates, args.trust_pickle)
    agent = next((c for c in (against, mates) if isinstance(c, Agent)), None)
    trained = agent.keywords if agent is not None else {}
    n_red = args.n_red if args.n_red is not None else trained.get("n_red", 1)
    n_blue = args.n_blue if args.n_blue is not None else trained.get("n_blue", 1)
    if (n_red if args.side == "red" else n_blue) < 1:
        raise ValueError(f"the {args.side} team needs a player for you: give --n-{args.side} 1 or more")
    text = stadium_text(args.stadium if args.stadium is not None else trained.get("stadium"))
    person = 0 if args.side == "red" else n_red
    match = LiveMatch(text, n_red, n_blue, person, lambda field: drivers(against, mates, field, person, args.side))
    record = args.record or Path(time.strftime("zorbic-play-%Y%m%d-%H%M%S.zrp", time.gmtime()))
    look = drawing(match.stadium, match.field.teams.tolist(), 960, 480)
    server = PlayServer(match, look, record, args.host)

    def announce(url: str) -> None:
        print(f"play at {url}", flush=True)
        if args.host not in ("127.0.0.1", "localhost", "::1"):
            print(
                f"play: serving on {args.host}: anyone who can reach this machine there and has the address"
                " above (with its token) can play",
                file=sys.stderr,
                flush=True,
            )
        if not args.no_browser:
            try:
                webbrowser.open(url)
            except webbrowser.Error:
                pass  # no browser here: the address is printed

    path = asyncio.run(serve(server, args.port, announce))
    print(f"recorded {match.recorded_ticks} ticks to {path}", flush=True)
    return 0


COMMAND = Command("play", "play a match in the browser against agents or built-in opponents", configure, run)
