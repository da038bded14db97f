"""The trainer's whole-loop speed side by side with an earlier commit's trainer.

    scripts/bench --trainer 534fcb0 [--minutes 3] [--rounds 2]

Each round runs the current trainer and REV's for `--minutes` each, one
after the other, the order flipping every round so that a drift of the
machine's speed favours neither. A run is the trainer as users start it
(1 v 1, its default settings, evaluations included), in a fresh process; its
figure is the samples per second of the whole loop that the trainer itself
writes into evaluations.json, with how its time split.

REV's package is built once into build/baseline/REV/site (no dependencies)
and put first on the path of this interpreter, so both builds run against
the same torch and stable-baselines3. The trainer's module moved in the
package's history: REV's is found by trying both names.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULES = ("zorbic.training.train", "zorbic.train")


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def build_site(rev: str) -> tuple[str, Path]:
    """REV's full hash and a folder holding only its zorbic package and core module."""
    sha = subprocess.run(
        ["git", "-C", str(ROOT), "rev-parse", "--verify", f"{rev}^{{commit}}"], capture_output=True, text=True
    )
    if sha.returncode:
        raise SystemExit(f"--trainer: {rev!r} is not a commit of this repository")
    full = sha.stdout.strip()
    home = ROOT / "build" / "baseline" / full[:12]
    site, marker = home / "site", home / "site-built"
    if marker.exists():
        return full, site
    progress(f"trainer: building {full[:12]} into {site.relative_to(ROOT)} (once)")
    with tempfile.TemporaryDirectory() as scratch:
        source = Path(scratch) / "src"
        subprocess.run(["git", "-C", str(ROOT), "worktree", "add", "--detach", str(source), full], check=True)
        try:
            subprocess.run(
                [sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-build-isolation"]
                + ["--target", str(site), str(source)],
                check=True,
            )
        finally:
            subprocess.run(["git", "-C", str(ROOT), "worktree", "remove", "--force", str(source)], check=True)
    marker.write_text(full + "\n")
    return full, site


def trainer_module(site: Path | None) -> str:
    """The trainer's module name in REV's package, or in this one (`site` None)."""
    if site is None:
        return MODULES[0]
    for name in MODULES:
        if site.joinpath(*name.split(".")).with_suffix(".py").exists():
            return name
    raise SystemExit(f"no trainer module ({', '.join(MODULES)}) in {site}")


def run_trainer(site: Path | None, minutes: float) -> dict:
    env = dict(os.environ)
    if site is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site), env.get("PYTHONPATH")]))
    with tempfile.TemporaryDirectory() as out:
        command = [sys.executable, "-m", trainer_module(site), "--minutes", str(minutes), "--out", out]
        subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=out)
        summary = json.loads((Path(out) / "evaluations.json").read_text())
    last = summary["evaluations"][-1]["results"]
    return {
        "samples_per_second": summary["samples_per_second"],
        "seconds_in": summary["seconds_in"],
        "last_win_rates": {name: counts[0] / sum(counts) for name, counts in last.items()},
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", required=True, metavar="REV", help="the commit whose trainer to compare with")
    parser.add_argument("--minutes", type=float, default=3.0, help="minutes of each run (default 3)")
    parser.add_argument("--rounds", type=int, default=2, help="rounds, each running both trainers (default 2)")
    parser.add_argument("--json", type=Path, default=None, help="where to write every run as JSON")
    args = parser.parse_args(argv)
    if args.minutes <= 0 or args.rounds < 1:
        parser.error("--minutes must be positive and --rounds at least 1")
    sha, site = build_site(args.baseline)
    builds = {"baseline": site, "new": None}
    runs: dict[str, list[dict]] = {"baseline": [], "new": []}
    for r in range(args.rounds):
        order = ["baseline", "new"] if r % 2 == 0 else ["new", "baseline"]
        for build in order:
            progress(f"trainer: round {r + 1} of {args.rounds}, {build}, {args.minutes:g} minutes")
            runs[build].append(run_trainer(builds[build], args.minutes))
    lines = [f"trainer, 1 v 1, {args.minutes:g} minutes a run, {args.rounds} interleaved rounds, against {sha[:12]}"]
    lines.append(f"{'build':<9} {'samples/s':>10} {'rollouts s':>11} {'updates s':>10} {'evals s':>8}  per run")
    for build, results in runs.items():
        rates = [run["samples_per_second"] for run in results]
        split = {key: statistics.median(run["seconds_in"][key] for run in results) for key in results[0]["seconds_in"]}
        lines.append(
            f"{build:<9} {statistics.median(rates):>10,.0f} {split['rollouts']:>11.0f} {split['updates']:>10.0f}"
            f" {split['evaluations']:>8.0f}  {', '.join(f'{rate:,}' for rate in rates)}"
        )
    ratios = [new["samples_per_second"] / old["samples_per_second"] for new, old in zip(runs["new"], runs["baseline"])]
    lines.append(f"new / baseline: {statistics.median(ratios):.2f}x (per round {min(ratios):.2f} - {max(ratios):.2f})")
    print("\n".join(lines))
    if args.json is not None:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"baseline": sha, "minutes": args.minutes, "runs": runs}, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
