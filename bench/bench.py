"""Measure the speed and the memory of the batch on this machine.

Prints a table and writes every sample as JSON (bench/results/latest.json by
default). Each figure is the median of several timed runs; the spread is
(max - min) / 2 of those runs, relative to the median. Every measurement runs
in a fresh subprocess, because the worker pool's size is fixed at its first
use: RAYON_NUM_THREADS is set for each one.

    scripts/bench              the full run (a few minutes on two cores)
    scripts/bench --quick      fewer sizes, shorter runs
    scripts/bench --only rollout,step
    scripts/bench --baseline 60e1147 [--rounds 5]
                               the target workloads side by side with an
                               earlier commit (bench/baseline.py)
    scripts/bench --trainer 534fcb0 [--minutes 3] [--rounds 2]
                               the trainer's whole loop side by side with an
                               earlier commit's (bench/trainer_bench.py;
                               torch and stable-baselines3 needed, about
                               2 x rounds x minutes long)
    scripts/bench --tools      SuperSuit's vector beside the native one, and
                               RLlib's PPO on the plain recipes beside the fast
                               paths (bench/supersuit_bench.py, rllib_bench.py;
                               the tools and rllib extras, a few minutes)

The sections faces, single, render, collector, play and copy run scripts of their
own (bench/faces_bench.py, single_match_bench.py, render_bench.py, collector_bench.py,
play_bench.py, copy_bench.py), which also run alone; their tables are
relayed here.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_JSON = ROOT / "bench" / "results" / "latest.json"
BASELINE_JSON = ROOT / "bench" / "results" / "baseline.json"
PROBE_BUILD_DIR = ROOT / "build" / "bench-tools"

TEAMS = ((1, 1), (3, 3), (16, 16))
BATCH_SIZES = (1, 64, 1024, 16384)
TICK_SKIP = 8
SECTIONS = (
    "rollout",
    "step",
    "overhead",
    "predict",
    "memory",
    "construct",
    "faces",
    "single",
    "render",
    "collector",
    "play",
    "copy",
)
# Sections measured by scripts of their own, in processes of their own: the
# training faces, the renderer and the Ray collector. Their tables are relayed.
SCRIPTS = {
    "faces": ("faces_bench.py", {"RAYON_NUM_THREADS": "1"}),
    "single": ("single_match_bench.py", {"RAYON_NUM_THREADS": "1"}),
    "render": ("render_bench.py", {"RAYON_NUM_THREADS": "1"}),
    "collector": ("collector_bench.py", {}),
    "play": ("play_bench.py", {"RAYON_NUM_THREADS": "1"}),
    "copy": ("copy_bench.py", {}),
}


# ---------------------------------------------------------------- settings


class Plan:
    """How long and how often each figure is measured."""

    def __init__(self, quick: bool):
        self.quick = quick
        self.repeats = 3 if quick else 5
        # Seconds that one timed run aims at; a run never has fewer than one
        # step, so the largest batches may take longer.
        self.run_seconds = 0.08 if quick else 0.25
        self.teams = ((1, 1), (3, 3)) if quick else TEAMS
        self.batch_sizes = (1, 1024, 16384) if quick else BATCH_SIZES
        self.overhead_calls = 5000 if quick else 20000
        self.predict_ticks = 60
        self.big_batch = 16384


def thread_counts() -> list[int]:
    available = len(os.sched_getaffinity(0))
    return [1] if available == 1 else [1, available]


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


# ------------------------------------------------------- worker side (child)


def summary(samples: list[float]) -> dict:
    median = statistics.median(samples)
    spread = (max(samples) - min(samples)) / 2 / median if median else 0.0
    return {"median": median, "spread": spread, "samples": samples}


def random_actions(rng, n_envs: int, n_players: int):
    import numpy as np

    actions = np.empty((n_envs, n_players, 3), dtype=np.int64)
    actions[:, :, :2] = rng.integers(-1, 2, size=(n_envs, n_players, 2))
    actions[:, :, 2] = rng.integers(0, 3, size=(n_envs, n_players))
    return actions


def steps_needed(run, run_seconds: float) -> int:
    """How many steps `run(n)` needs to last about `run_seconds`.

    A first call, untimed, pays the pool's start. The trial then lasts at
    least an eighth of a run: a single step would also count what every call
    pays once (each env's set-up of its run of ticks), which for
    rollout_bench is several times a tick, and would make the timed runs that
    much too short."""
    run(1)
    n = 1
    while True:
        start = time.perf_counter()
        run(n)
        elapsed = time.perf_counter() - start
        if elapsed >= run_seconds / 8:
            return max(1, round(n * run_seconds / elapsed))
        n *= 4


def measure_rollout(zc, plan: dict, n_red: int, n_blue: int, n_envs: int) -> dict:
    env = zc.VecEnv(n_envs, n_red, n_blue)
    n_steps = steps_needed(env.rollout_bench, plan["run_seconds"])
    rates = []
    for _ in range(plan["repeats"]):
        start = time.perf_counter()
        ticks = env.rollout_bench(n_steps)
        rates.append(ticks / (time.perf_counter() - start))
    return {"env_ticks_per_s": summary(rates), "n_steps": n_steps}


def measure_step(zc, plan: dict, n_red: int, n_blue: int, n_envs: int) -> dict:
    import numpy as np

    env = zc.VecEnv(n_envs, n_red, n_blue, tick_skip=TICK_SKIP)
    n_players = n_red + n_blue
    rng = np.random.default_rng(12345)
    # A bounded set of distinct action arrays, cycled: enough to keep the
    # matches moving, few enough to stay out of the way of the batch's memory.
    bytes_per_array = n_envs * n_players * 3 * 8
    n_arrays = max(1, min(64, (64 << 20) // bytes_per_array))
    pool = [random_actions(rng, n_envs, n_players) for _ in range(n_arrays)]

    def trial(n: int) -> None:
        for i in range(n):
            env.physics_step(pool[i % n_arrays])

    n_steps = steps_needed(trial, plan["run_seconds"])
    # Every timed run starts from fresh matches, as the ones after a reset do.
    env.reset_all()
    schedule = [pool[i % n_arrays] for i in range(n_steps)]

    step_rates, tick_rates = [], []
    for _ in range(plan["repeats"]):
        # Envs that score stop for the rest of their call, so the ticks run
        # are counted exactly from the step counters, outside the timing.
        before = env.snapshot()[4].sum()
        start = time.perf_counter()
        for actions in schedule:
            env.physics_step(actions)
        seconds = time.perf_counter() - start
        ticks = int(env.snapshot()[4].sum() - before)
        step_rates.append(n_envs * n_steps / seconds)
        tick_rates.append(ticks / seconds)
        # Reset the envs that are in an after-goal countdown or far into a
        # match so that every run plays the same kind of game.
        env.reset_all()
    return {
        "env_steps_per_s": summary(step_rates),
        "env_ticks_per_s": summary(tick_rates),
        "n_steps": n_steps,
        "action_arrays": n_arrays,
    }


def measure_overhead(zc, plan: dict) -> dict:
    import numpy as np

    env = zc.VecEnv(1, 1, 1, tick_skip=TICK_SKIP)
    actions = random_actions(np.random.default_rng(7), 1, 2)
    calls = plan["overhead_calls"]
    for _ in range(calls // 10):
        env.physics_step(actions)
    per_call = []
    for _ in range(plan["repeats"]):
        start = time.perf_counter()
        for _ in range(calls):
            env.physics_step(actions)
        per_call.append((time.perf_counter() - start) / calls * 1e6)
    return {"microseconds_per_call": summary(per_call), "calls": calls}


def measure_predict(zc, plan: dict, n_envs: int) -> dict:
    import numpy as np

    env = zc.VecEnv(n_envs, 3, 3)
    ball_pos, ball_vel, player_pos, player_vel, steps = env.snapshot()
    # Balls thrown in every direction, so that walls, corners and posts are met.
    rng = np.random.default_rng(99)
    angle = rng.uniform(0, 2 * np.pi, n_envs)
    speed = rng.uniform(2, 12, n_envs)
    ball_vel = np.stack([np.cos(angle) * speed, np.sin(angle) * speed], axis=1)
    env.set_state(ball_pos, ball_vel, player_pos, player_vel, steps)
    horizon = plan["predict_ticks"]
    offsets = list(range(1, horizon + 1))
    env.predict_ball(offsets)
    calls = max(1, round(plan["run_seconds"] / 2 / max(n_envs * horizon * 50e-9, 1e-9)))
    costs = []
    for _ in range(plan["repeats"]):
        start = time.perf_counter()
        for _ in range(calls):
            env.predict_ball(offsets)
        costs.append((time.perf_counter() - start) / (calls * n_envs * horizon) * 1e9)
    return {"ns_per_env_tick": summary(costs), "horizon": horizon, "calls": calls}


def peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def measure_peak_memory(zc, plan: dict) -> dict:
    import numpy as np

    n_envs = plan["big_batch"]
    before = peak_rss_bytes()
    env = zc.VecEnv(n_envs, 3, 3, tick_skip=TICK_SKIP)
    after_build = peak_rss_bytes()
    env.physics_step(random_actions(np.random.default_rng(3), n_envs, 6))
    after_step = peak_rss_bytes()
    return {
        "n_envs": n_envs,
        "rss_before": before,
        "rss_after_build": after_build,
        "rss_peak": after_step,
        "bytes_per_env": (after_build - before) / n_envs,
    }


def measure_construct(zc, plan: dict) -> dict:
    import gc

    n_envs = plan["big_batch"]
    text = (ROOT / "data" / "classic.zsm").read_text()
    result = {"n_envs": n_envs}
    for name, build in (
        ("classic", lambda: zc.VecEnv(n_envs, 3, 3)),
        ("from_zsm", lambda: zc.VecEnv.from_zsm(text, n_envs, 3, 3)),
    ):
        build()
        gc.collect()
        samples = []
        for _ in range(plan["repeats"]):
            start = time.perf_counter()
            env = build()
            samples.append((time.perf_counter() - start) * 1e3)
            del env
        result[name] = {"milliseconds": summary(samples)}
    return result


def run_jobs(jobs: list[dict]) -> list[dict]:
    import zorbic_core as zc

    results = []
    for job in jobs:
        kind, plan = job["kind"], job["plan"]
        if kind == "rollout":
            out = measure_rollout(zc, plan, job["red"], job["blue"], job["n_envs"])
        elif kind == "step":
            out = measure_step(zc, plan, job["red"], job["blue"], job["n_envs"])
        elif kind == "overhead":
            out = measure_overhead(zc, plan)
        elif kind == "predict":
            out = measure_predict(zc, plan, job["n_envs"])
        elif kind == "peak_memory":
            out = measure_peak_memory(zc, plan)
        elif kind == "construct":
            out = measure_construct(zc, plan)
        else:
            raise ValueError(f"unknown job kind {kind!r}")
        results.append({**job, "result": out})
    return results


# ------------------------------------------------------ driver side (parent)


def worker_env(threads: int) -> dict[str, str]:
    env = dict(os.environ)
    env["RAYON_NUM_THREADS"] = str(threads)
    env.pop("RAYON_RS_NUM_CPUS", None)
    # NumPy's own math threads spin after array work and would steal a core
    # from the pool; the benchmark does no linear algebra.
    for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env[name] = "1"
    return env


def worker_results(stdout: str, stderr: str, returncode: int, threads: int) -> list[dict]:
    if returncode != 0:
        raise RuntimeError(f"benchmark worker failed ({returncode}):\n{stderr}")
    return [{**r, "threads": threads} for r in json.loads(stdout)]


def in_subprocess(jobs: list[dict], threads: int, python: str = sys.executable) -> list[dict]:
    proc = subprocess.run(
        [python, __file__, "--worker"], input=json.dumps(jobs), env=worker_env(threads), capture_output=True, text=True
    )
    return worker_results(proc.stdout, proc.stderr, proc.returncode, threads)


def side_by_side(jobs: list[dict], copies: int, python: str = sys.executable) -> list[list[dict]]:
    """The jobs in `copies` one-thread processes at once, which share nothing
    but the machine: what its cores give such work is the most a pool of that
    many threads could reach. One list of results per process."""
    procs = []
    for _ in range(copies):
        # A file of its own for each: processes given one file would share
        # its read offset, and all but the first would read nothing.
        with tempfile.TemporaryFile("w+") as given:
            given.write(json.dumps(jobs))
            given.seek(0)
            procs.append(
                subprocess.Popen(
                    [python, __file__, "--worker"],
                    stdin=given,
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    env=worker_env(1),
                    text=True,
                )
            )
    outputs = [(*proc.communicate(), proc.returncode) for proc in procs]
    return [worker_results(out, err, code, 1) for out, err, code in outputs]


def engine_sizes() -> dict:
    """The engine's own record sizes, from the engine probe (built on demand)."""
    probe = PROBE_BUILD_DIR / "engine_probe"
    cmake = shutil.which("cmake")
    if cmake is None:
        return {"error": "cmake not found: the engine probe cannot be built"}
    configure = [
        cmake,
        "-S",
        str(ROOT),
        "-B",
        str(PROBE_BUILD_DIR),
        "-DZORBIC_EXTENSION=OFF",
        "-DZORBIC_BENCH_TOOLS=ON",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja") and not (PROBE_BUILD_DIR / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    for command in (configure, [cmake, "--build", str(PROBE_BUILD_DIR), "--target", "engine_probe"]):
        proc = subprocess.run(command, capture_output=True, text=True)
        if proc.returncode != 0:
            return {"error": f"building the engine probe failed:\n{proc.stdout}{proc.stderr}"}
    proc = subprocess.run([str(probe), "sizes", "3", "3"], capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": proc.stderr}
    return json.loads(proc.stdout)


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def shared_plan(plan: Plan) -> dict:
    """The settings that every worker job carries."""
    return {
        "repeats": plan.repeats,
        "run_seconds": plan.run_seconds,
        "overhead_calls": plan.overhead_calls,
        "predict_ticks": plan.predict_ticks,
        "big_batch": plan.big_batch,
    }


def collect(plan: Plan, sections: list[str]) -> dict:
    shared = shared_plan(plan)
    results: dict = {"rollout": [], "step": [], "overhead": [], "predict": [], "memory": {}, "construct": []}
    threads = thread_counts()
    for kind in ("rollout", "step"):
        if kind not in sections:
            continue
        for t in threads:
            for red, blue in plan.teams:
                progress(f"{kind}: {red}v{blue}, {t} thread(s)")
                jobs = [{"kind": kind, "red": red, "blue": blue, "n_envs": n, "plan": shared} for n in plan.batch_sizes]
                results[kind] += in_subprocess(jobs, t)
    if "overhead" in sections:
        for t in threads:
            progress(f"overhead: 1 env of 1v1, {t} thread(s)")
            results["overhead"] += in_subprocess([{"kind": "overhead", "plan": shared}], t)
    if "predict" in sections:
        for t in threads:
            progress(f"predict_ball: {t} thread(s)")
            jobs = [{"kind": "predict", "n_envs": n, "plan": shared} for n in (1, 1024)]
            results["predict"] += in_subprocess(jobs, t)
    if "memory" in sections:
        progress("memory: engine sizes and the peak RSS of a large batch")
        results["memory"]["engine"] = engine_sizes()
        results["memory"]["peak"] = in_subprocess([{"kind": "peak_memory", "plan": shared}], threads[-1])[0]
    if "construct" in sections:
        progress("construction of a large batch")
        results["construct"] = in_subprocess([{"kind": "construct", "plan": shared}], 1)
    results["scripts"] = {}
    for section, (script, environ) in SCRIPTS.items():
        if section in sections:
            progress(f"{section}: bench/{script}")
            quick = ["--quick"] if plan.quick and section == "render" else []
            if plan.quick and section == "single":
                quick = ["--rounds", "2", "--seconds", "0.25"]
            if plan.quick and section == "faces":
                quick = ["--rounds", "2", "--seconds", "0.5"]
            if plan.quick and section == "collector":
                quick = ["--rounds", "2"]
            if plan.quick and section == "play":
                quick = ["--seconds", "3"]
            done = subprocess.run(
                [sys.executable, str(ROOT / "bench" / script), *quick],
                env={**os.environ, **environ},
                capture_output=True,
                text=True,
                check=True,
            )
            results["scripts"][section] = done.stdout
    return results


def rate(value: float) -> str:
    for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= scale:
            return f"{value / scale:.2f}{suffix}"
    return f"{value:.1f}"


def cell(stats: dict, fmt=rate) -> str:
    return f"{fmt(stats['median'])} ±{stats['spread'] * 100:.0f}%"


def grid_table(title: str, rows: list[dict], metric: str, threads: list[int]) -> list[str]:
    if not rows:
        return []
    header = f"{'teams':>6} {'envs':>6}" + "".join(f"{f'{t} thread(s)':>20}" for t in threads)
    lines = [title, header]
    keys = sorted({(r["red"], r["blue"], r["n_envs"]) for r in rows})
    for red, blue, n in keys:
        cells = []
        for t in threads:
            match = [r for r in rows if (r["red"], r["blue"], r["n_envs"], r["threads"]) == (red, blue, n, t)]
            cells.append(cell(match[0]["result"][metric]) if match else "-")
        lines.append(f"{f'{red}v{blue}':>6} {n:>6}" + "".join(f"{c:>20}" for c in cells))
    return lines + [""]


def report(results: dict, meta: dict) -> str:
    threads = meta["thread_counts"]
    lines = [
        f"machine: {meta['cpu']}, {meta['logical_cpus']} logical CPUs; python {meta['python']}",
        f"each cell: median ± half the range of {meta['repeats']} runs",
        "",
    ]
    lines += grid_table("rollout_bench, env-ticks/s (classic stadium)", results["rollout"], "env_ticks_per_s", threads)
    lines += grid_table(
        f"physics_step, env-steps/s (seeded random actions, tick_skip {TICK_SKIP})",
        results["step"],
        "env_steps_per_s",
        threads,
    )
    lines += grid_table("physics_step, env-ticks/s (ticks actually run)", results["step"], "env_ticks_per_s", threads)
    for r in results["overhead"]:
        lines.append(
            f"one physics_step on 1 env of 1v1 (tick_skip {TICK_SKIP}), {r['threads']} thread(s): "
            f"{cell(r['result']['microseconds_per_call'], lambda v: f'{v:.2f} us')}"
        )
    if results["overhead"]:
        lines.append("")
    for r in results["predict"]:
        lines.append(
            f"predict_ball, 3v3, {r['n_envs']} envs, {r['result']['horizon']} ticks ahead, "
            f"{r['threads']} thread(s): "
            f"{cell(r['result']['ns_per_env_tick'], lambda v: f'{v:.1f} ns')} per env per tick"
        )
    if results["predict"]:
        lines.append("")
    memory = results["memory"]
    if memory:
        engine = memory.get("engine", {})
        if "error" in engine:
            lines.append(f"memory per env: unavailable ({engine['error'].strip().splitlines()[0]})")
        elif engine:
            lines.append(
                f"memory per env, classic 3v3: {engine['per_env']} bytes "
                f"(MatchState {engine['match_state']} + sequences {engine['heap']}, "
                f"of which the contact plan {engine.get('contact_plan_heap', 0)}; "
                f"plus {engine.get('shared_per_batch', 0)} shared by the whole batch; "
                f"{engine['discs']} discs of {engine['disc']}, {engine['segments']} segments of "
                f"{engine['segment']}, {engine['planes']} planes of {engine['plane']})"
            )
        peak = memory.get("peak")
        if peak:
            p = peak["result"]
            lines.append(
                f"peak RSS with {p['n_envs']} envs of 3v3: {p['rss_peak'] / 2**20:.1f} MiB "
                f"(process before the batch: {p['rss_before'] / 2**20:.1f} MiB; "
                f"{p['bytes_per_env']:.0f} bytes per env)"
            )
        lines.append("")
    for r in results["construct"]:
        c = r["result"]
        ms = lambda v: f"{v:.1f} ms"  # noqa: E731
        lines.append(
            f"construct {c['n_envs']} envs of 3v3: VecEnv {cell(c['classic']['milliseconds'], ms)}, "
            f"from_zsm {cell(c['from_zsm']['milliseconds'], ms)}"
        )
    for section, text in results.get("scripts", {}).items():
        lines += ["", f"{section} (bench/{SCRIPTS[section][0]}):", text.rstrip()]
    return "\n".join(lines).rstrip() + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and shorter runs")
    parser.add_argument(
        "--only",
        default=",".join(SECTIONS),
        help=f"comma-separated sections to run (default: all of {','.join(SECTIONS)})",
    )
    parser.add_argument(
        "--json",
        type=Path,
        default=None,
        help=f"where to write (default {DEFAULT_JSON}, or {BASELINE_JSON} with --baseline)",
    )
    parser.add_argument(
        "--baseline", metavar="REV", help="build REV aside and compare the target workloads with it, side by side"
    )
    parser.add_argument(
        "--rounds", type=int, default=None, help="interleaved rounds of --baseline (default 5, 3 with --quick)"
    )
    parser.add_argument(
        "--trainer", metavar="REV", help="run the trainer and REV's alternately and compare their samples/s"
    )
    parser.add_argument("--minutes", type=float, default=3.0, help="minutes of each trainer run (default 3)")
    parser.add_argument(
        "--tools",
        action="store_true",
        help="SuperSuit beside the native vector; RLlib, plain recipes beside fast paths",
    )
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.tools:
        scripts = ("supersuit_bench.py", "rllib_bench.py")
        return max(subprocess.run([sys.executable, str(ROOT / "bench" / s)], check=False).returncode for s in scripts)
    if args.trainer:
        import trainer_bench

        extra = ["--json", str(args.json)] if args.json else []
        rounds = ["--rounds", str(args.rounds)] if args.rounds is not None else []
        return trainer_bench.main(["--baseline", args.trainer, "--minutes", str(args.minutes), *rounds, *extra])

    if args.worker:
        json.dump(run_jobs(json.loads(sys.stdin.read())), sys.stdout)
        return 0

    sections = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = sorted(set(sections) - set(SECTIONS))
    if unknown:
        parser.error(f"unknown section(s) {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")

    plan = Plan(args.quick)
    if args.baseline:
        import baseline

        rounds = args.rounds if args.rounds is not None else (3 if args.quick else 5)
        if rounds < 1:
            parser.error("--rounds must be at least 1")
        return baseline.main(
            in_subprocess,
            side_by_side,
            shared_plan(plan),
            args.baseline,
            rounds,
            thread_counts(),
            sections,
            args.json or BASELINE_JSON,
        )
    if args.rounds is not None:
        parser.error("--rounds needs --baseline")
    args.json = args.json or DEFAULT_JSON
    started = time.perf_counter()
    results = collect(plan, sections)
    meta = {
        "cpu": cpu_model(),
        "logical_cpus": len(os.sched_getaffinity(0)),
        "python": platform.python_version(),
        "thread_counts": thread_counts(),
        "repeats": plan.repeats,
        "quick": plan.quick,
        "run_seconds": plan.run_seconds,
        "tick_skip": TICK_SKIP,
        "wall_seconds": round(time.perf_counter() - started, 1),
        "date": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
    }
    text = report(results, meta)
    print(text, end="")
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({"meta": meta, "results": results}, indent=1) + "\n")
    print(f"(written to {args.json}; {meta['wall_seconds']} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
