"""Side-by-side speed against an earlier commit: `scripts/bench --baseline REV`.

Absolute figures drift by tens of per cent on shared machines, so the only
figure worth comparing across builds is a ratio measured in one run. REV is
built once into its own git worktree and venv under build/baseline/, then each
configuration runs alternately on both builds (each run in a fresh process,
as the rest of the benchmark does), for several rounds. The report gives the
median env-ticks/s of each build, the ratio new/baseline of the medians with
the range of the per-round ratios, and two threads against one, beside what
two one-thread processes at once give against one alone: the machine's own
ceiling for that ratio, which shared or throttled cores lower.
"""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BASELINE_DIR = ROOT / "build" / "baseline"
# What the module's build needs, as scripts/setup.sh installs it.
BUILD_REQUIREMENTS = ["scikit-build-core>=0.10", "numpy>=2.0", "nlohmann-json>=3.11", "cmake", "ninja"]

# (section, n_red, n_blue, n_envs): the workloads that the speed targets name.
ROWS = (
    ("step", 1, 1, 1024),
    ("step", 3, 3, 1024),
    ("step", 16, 16, 256),
    ("rollout", 1, 1, 1024),
    ("rollout", 3, 3, 1024),
)
BUILDS = ("baseline", "new")

RunJobs = Callable[[list[dict], int, str], list[dict]]
RunSideBySide = Callable[[list[dict], int, str], list[list[dict]]]


def write_atomically(path: Path, text: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(path.name + ".partial")
    with open(partial, "w") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(partial, path)


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def run(command: list[str], **kwargs) -> None:
    proc = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed ({proc.returncode}):\n{proc.stdout}{proc.stderr}")


def resolve(rev: str) -> str:
    proc = subprocess.run(
        ["git", "-C", str(ROOT), "rev-parse", "--verify", f"{rev}^{{commit}}"], capture_output=True, text=True
    )
    if proc.returncode != 0:
        raise SystemExit(f"--baseline: {rev!r} is not a commit of this repository")
    return proc.stdout.strip()


def prepare(rev: str) -> tuple[str, Path]:
    """The commit's full hash and the interpreter of its venv, built on first use."""
    sha = resolve(rev)
    home = BASELINE_DIR / sha[:12]
    source, venv, marker = home / "src", home / "venv", home / "built"
    python = venv / "bin" / "python"
    if marker.exists() and marker.read_text().strip() == sha and python.exists():
        return sha, python
    progress(f"baseline: building {sha[:12]} into {home.relative_to(ROOT)} (once)")
    home.mkdir(parents=True, exist_ok=True)
    run(["git", "-C", str(ROOT), "worktree", "prune"])
    if not (source / ".git").exists():
        shutil.rmtree(source, ignore_errors=True)
        run(["git", "-C", str(ROOT), "worktree", "add", "--detach", str(source), sha])
    if not python.exists():
        run([sys.executable, "-m", "venv", str(venv)])
    pip = [str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    run(pip + BUILD_REQUIREMENTS)
    # The build tools come from the venv, as scripts/setup.sh arranges it.
    env = dict(os.environ, PATH=f"{venv / 'bin'}{os.pathsep}{os.environ.get('PATH', '')}")
    run(pip + ["--no-build-isolation", "--no-deps", str(source)], env=env)
    write_atomically(marker, sha + "\n")
    return sha, python


def compare(
    run_jobs: RunJobs,
    run_side_by_side: RunSideBySide,
    shared: dict,
    rev: str,
    rounds: int,
    threads: list[int],
    sections: list[str],
) -> dict:
    """Runs every row on both builds, alternating, and collects the samples.
    With more than one thread, each round also runs the new build's
    one-thread row in as many processes at once: the machine's own ceiling
    for the threads' speed-up, measured beside it."""
    sha, baseline_python = prepare(rev)
    interpreters = {"baseline": str(baseline_python), "new": sys.executable}
    rows = [row for row in ROWS if row[0] in sections]
    samples: dict[str, list[float]] = {}
    bests: dict[str, list[float]] = {}
    started = time.perf_counter()
    for r in range(rounds):
        progress(f"baseline: round {r + 1} of {rounds}")
        # The order flips every round, so that a drift of the machine's speed
        # favours neither build.
        order = BUILDS if r % 2 == 0 else BUILDS[::-1]
        for section, red, blue, n_envs in rows:
            for t in threads:
                for build in order:
                    job = {"kind": section, "red": red, "blue": blue, "n_envs": n_envs, "plan": shared}
                    result = run_jobs([job], t, interpreters[build])[0]["result"]
                    key = f"{section} {red}v{blue} {n_envs} {t} {build}"
                    samples.setdefault(key, []).append(result["env_ticks_per_s"]["median"])
                    bests.setdefault(key, []).append(max(result["env_ticks_per_s"]["samples"]))
            if len(threads) > 1:
                job = {"kind": section, "red": red, "blue": blue, "n_envs": n_envs, "plan": shared}
                apart = run_side_by_side([job], threads[-1], sys.executable)
                rates = [results[0]["result"]["env_ticks_per_s"] for results in apart]
                key = f"{section} {red}v{blue} {n_envs} {threads[-1]} processes"
                samples.setdefault(key, []).append(sum(r["median"] for r in rates))
                bests.setdefault(key, []).append(sum(max(r["samples"]) for r in rates))
    return {
        "baseline": sha,
        "rounds": rounds,
        "threads": threads,
        "rows": rows,
        "samples": samples,
        "bests": bests,
        "wall_seconds": round(time.perf_counter() - started, 1),
    }


def report(data: dict) -> str:
    samples, threads = data["samples"], data["threads"]
    names = {"step": "physics_step, random actions, tick_skip 8", "rollout": "rollout_bench"}
    # A shared machine only ever slows a run down, so the best run of each
    # build is the other figure worth comparing: the fastest timed run of
    # any round, new/baseline.
    bests = data.get("bests", {})
    lines = [
        f"new against {data['baseline'][:12]}: env-ticks/s, medians of {data['rounds']} interleaved rounds",
        f"{'workload':<46} {'envs':>5} {'thr':>3} {'baseline':>10} {'new':>10} {'new/base':>9} {'per round':>13}"
        f" {'best/best':>10}",
    ]
    for section, red, blue, n_envs in data["rows"]:
        for t in threads:
            key = f"{section} {red}v{blue} {n_envs} {t}"
            base = samples[f"{key} baseline"]
            new = samples[f"{key} new"]
            ratios = [n / b for n, b in zip(new, base)]
            best = f"{max(bests[key + ' new']) / max(bests[key + ' baseline']):>9.2f}x" if key + " new" in bests else ""
            lines.append(
                f"{names[section] + f', {red}v{blue}':<46} {n_envs:>5} {t:>3} "
                f"{statistics.median(base) / 1e6:>9.2f}M {statistics.median(new) / 1e6:>9.2f}M "
                f"{statistics.median(new) / statistics.median(base):>8.2f}x "
                f"{min(ratios):>6.2f}-{max(ratios):.2f} {best}"
            )
    if len(threads) > 1:
        many = threads[-1]
        lines += [
            "",
            f"{many} threads / 1 thread: medians (best / best); 'apart': {many} one-thread processes"
            " of the new build at once, against one alone, the most the machine gives; new/apart: median"
            " (range) of the rounds' ratios",
        ]
        for section, red, blue, n_envs in data["rows"]:
            row = f"{section} {red}v{blue} {n_envs}"
            pairs = [(b, f"{row} {many} {b}", f"{row} 1 {b}") for b in BUILDS]
            pairs.append(("apart", f"{row} {many} processes", f"{row} 1 new"))
            cells = [
                f"{name} {statistics.median(samples[key]) / statistics.median(samples[one]):.2f}x"
                f" ({max(bests[key]) / max(bests[one]):.2f}x)"
                for name, key, one in pairs
            ]
            # How near the pool comes to that ceiling, round by round, as the
            # machine's speed drifts between rounds more than within one.
            within = [t / a for t, a in zip(samples[f"{row} {many} new"], samples[f"{row} {many} processes"])]
            cells.append(f"new/apart {statistics.median(within):.2f} ({min(within):.2f}-{max(within):.2f})")
            lines.append(f"{names[section] + f', {red}v{blue}':<46} {n_envs:>5}   " + "   ".join(cells))
    return "\n".join(lines) + "\n"


def main(
    run_jobs: RunJobs,
    run_side_by_side: RunSideBySide,
    shared: dict,
    rev: str,
    rounds: int,
    threads: list[int],
    sections: list[str],
    out: Path,
) -> int:
    data = compare(run_jobs, run_side_by_side, shared, rev, rounds, threads, sections)
    print(report(data), end="")
    write_atomically(out, json.dumps(data, indent=1) + "\n")
    print(f"(written to {out}; {data['wall_seconds']} s)")
    return 0
