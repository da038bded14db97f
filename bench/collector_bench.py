"""Throughput of the Ray rollout collector with 1 and 2 actors, against the same work done locally.

Every actor runs one worker thread (RAYON_NUM_THREADS=1, one CPU from Ray)
and so does the local run in this process. One request is `--steps` steps of
`--envs` 1 v 1 matches (default parts: chaser opponent, goal reward) with a
tanh MLP choosing the actions. "local" is a RolloutRunner in this process
doing the requests one after the other; "1 actor" and "2 actors" are
synchronous collects. Env-steps are matches stepped. The overhead is the
share of local throughput that one actor loses: transport, scheduling and
the driver's wait; it is also measured directly, as the share of the
driver's time in which the actor was not collecting. Rounds alternate the three so that a change of machine
load touches all of them. Every throughput comes with the CPU cores that
other programs kept busy meanwhile (from /proc: the machine's busy time less
this process tree's); the load average is printed at the start.
Prints a table (one JSON object per figure with --json).
"""

from __future__ import annotations

import os

# One thread everywhere, before NumPy or the pool first start: actors get the same.
for _name in ("RAYON_NUM_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_name] = "1"
# Ray runs its workers at nice 15, the local run here runs at 0: on a machine
# that others share, that alone would starve the actors. Equal terms.
os.environ["RAY_worker_niceness"] = "0"

import argparse  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import ray  # noqa: E402

from zorbic.ray import MLPPolicy, RolloutCollector, RolloutConfig, RolloutRunner  # noqa: E402


def load() -> float:
    return os.getloadavg()[0]


def busy_seconds() -> tuple[float, dict[int, float]]:
    """CPU seconds used so far by the whole machine, and by each process of this process tree."""
    tick = os.sysconf("SC_CLK_TCK")
    fields = Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]
    user, nice, system, _idle, _iowait, irq, softirq, steal = (int(f) for f in fields[:8])
    mine = {}
    for pid in [os.getpid(), *descendants(os.getpid())]:
        try:
            stat = Path(f"/proc/{pid}/stat").read_text()
        except OSError:
            continue
        after = stat[stat.rindex(")") + 2 :].split()
        mine[pid] = (int(after[11]) + int(after[12])) / tick
    return (user + nice + system + irq + softirq + steal) / tick, mine


def others_cores(
    before: tuple[float, dict[int, float]], after: tuple[float, dict[int, float]], seconds: float
) -> float:
    """Cores that programs outside this process tree kept busy between two samples.

    Only processes alive at the end count as ours (one that exited meanwhile
    takes its whole time along): actors of a closed collector are idle when
    they go, so that error is small.
    """
    mine = sum(used - before[1].get(pid, 0.0) for pid, used in after[1].items())
    return max(0.0, after[0] - before[0] - mine) / seconds


def rss_mib(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def process_name(entry: Path, command: str) -> str:
    """The command, or for a Python process the script or module it runs."""
    if not command.startswith("python"):
        return command
    try:
        argv = (entry / "cmdline").read_bytes().split(b"\0")
    except OSError:
        return command
    script = next((a.decode() for a in argv[1:] if a.endswith(b".py") or a.startswith(b"ray.")), command)
    return Path(script).name


def descendants(root: int) -> dict[int, str]:
    """Every process below `root`, pid -> command name (Ray's own processes are below the driver)."""
    parents: dict[int, int] = {}
    names: dict[int, str] = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                stat = (entry / "stat").read_text()
            except OSError:
                continue
            pid = int(entry.name)
            names[pid] = process_name(entry, stat[stat.index("(") + 1 : stat.rindex(")")])
            parents[pid] = int(stat[stat.rindex(")") + 2 :].split()[1])
    found, frontier = {}, [root]
    while frontier:
        parent = frontier.pop()
        for pid, ppid in parents.items():
            if ppid == parent and pid not in found:
                found[pid] = names[pid]
                frontier.append(pid)
    return found


def rate(work, env_steps: int, requests: int) -> tuple[float, float, float]:
    """Env-steps per second over `requests` calls of `work`, the cores that other programs kept
    busy meanwhile, and the share of the time that the runners spent collecting (work returns
    the runner's seconds, the slowest one's for several actors)."""
    before = busy_seconds()
    start = time.perf_counter()
    inside = sum(work() for _ in range(requests))
    elapsed = time.perf_counter() - start
    return env_steps * requests / elapsed, others_cores(before, busy_seconds(), elapsed), inside / elapsed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, default=256, help="matches per actor")
    parser.add_argument("--steps", type=int, default=128, help="steps per request")
    parser.add_argument("--requests", type=int, default=6, help="timed requests per measurement")
    parser.add_argument("--rounds", type=int, default=10, help="alternating rounds of local, 1 actor, 2 actors")
    parser.add_argument(
        "--quiet",
        type=float,
        default=0.15,
        help="a round counts as quiet when other programs kept fewer cores busy in each of its runs",
    )
    parser.add_argument("--json", action="store_true", help="print one JSON object per figure instead of a table")
    args = parser.parse_args(argv)

    config = RolloutConfig(num_envs=args.envs, seed=0)
    policy = MLPPolicy.initial(obs_dim=12, n_actions=18, hidden=(32,), seed=0)
    work = args.envs * args.steps
    records = []

    # Three logical CPUs: the 1-actor and the 2-actor collector live side by
    # side for the whole run (an idle actor costs no CPU), so that rounds are
    # short and start no processes.
    start = time.perf_counter()
    ray.init(num_cpus=3, include_dashboard=False, log_to_driver=False)
    records.append({"figure": "ray.init seconds", "value": time.perf_counter() - start, "load": load()})
    collectors = {}
    for n_actors in (1, 2):
        start = time.perf_counter()
        collectors[n_actors] = RolloutCollector(n_actors, config)
        collectors[n_actors].set_policy(policy)
        collectors[n_actors].collect(args.steps, timeout=600)
        records.append(
            {
                "figure": f"start {n_actors} actor(s) and first collect, seconds",
                "value": time.perf_counter() - start,
                "load": load(),
            }
        )
    records.extend(memory(collectors))

    local = RolloutRunner(config)
    local.collect(args.steps, policy, 0)
    runs: dict[str, list[tuple[float, float, float]]] = {"local": [], "1 actor": [], "2 actors": []}
    for _ in range(args.rounds):
        runs["local"].append(rate(lambda: local.collect(args.steps).seconds, work, args.requests))
        for n_actors, name in ((1, "1 actor"), (2, "2 actors")):
            collector = collectors[n_actors]
            runs[name].append(
                rate(
                    lambda collector=collector: max(
                        b.seconds for b in collector.collect(args.steps, timeout=600).batches
                    ),
                    n_actors * work,
                    args.requests,
                )
            )
    for collector in collectors.values():
        collector.close()
    ray.shutdown()

    for name, samples in runs.items():
        records.append(
            {
                "figure": f"env-steps/s {name}",
                "samples": [s for s, _, _ in samples],
                "other_cores": [round(o, 2) for _, o, _ in samples],
                "median": statistics.median(s for s, _, _ in samples),
            }
        )
    # Each round's three runs follow each other within seconds: compare within rounds,
    # and summarise the rounds that other programs left alone when there are any.
    rounds = [{name: runs[name][i] for name in runs} for i in range(args.rounds)]
    quiet = [r for r in rounds if max(others for _, others, _ in r.values()) < args.quiet] or rounds
    label = f"{len(quiet)} of {len(rounds)} rounds" + (
        f" with others < {args.quiet:.2f} cores" if quiet is not rounds else ", none quiet"
    )
    scaling = statistics.median(r["2 actors"][0] / r["1 actor"][0] for r in quiet)
    overhead = statistics.median(1 - r["1 actor"][0] / r["local"][0] for r in quiet)
    records.append({"figure": "2 actors / 1 actor", "value": scaling, "target": ">= 1.6", "over": label})
    records.append(
        {"figure": "overhead of 1 actor against local", "value": overhead, "target": "< 0.15", "over": label}
    )
    # The same overhead seen from inside: the driver's wall time that the actor did not spend
    # collecting. It needs no second run, so other programs shift it far less.
    records.append(
        {
            "figure": "driver time outside the actor's collect, 1 actor",
            "value": statistics.median(1 - inside for _, _, inside in runs["1 actor"]),
            "target": "< 0.15",
            "over": f"all {len(rounds)} rounds",
        }
    )
    records.append(
        {
            "figure": "driver time outside the slowest actor's collect, 2 actors",
            "value": statistics.median(1 - inside for _, _, inside in runs["2 actors"]),
            "over": f"all {len(rounds)} rounds",
        }
    )
    for record in records:
        print(json.dumps(record) if args.json else describe(record))
    return 0


def memory(collectors: dict[int, RolloutCollector]) -> list[dict]:
    """Resident memory of the driver, of each actor, and of Ray's own processes."""
    described = [
        ray.get(c.actor(k).describe.remote(), timeout=60) for c in collectors.values() for k in range(c.n_actors)
    ]
    actors = {d["pid"] for d in described}
    records = [
        {"figure": "actor niceness (max)", "value": max(d["nice"] for d in described)},
        {"figure": "RSS MiB driver", "value": rss_mib(os.getpid())},
    ]
    for pid in sorted(actors):
        records.append({"figure": "RSS MiB actor", "value": rss_mib(pid)})
    by_name: dict[str, float] = {}
    for pid, name in descendants(os.getpid()).items():
        if pid not in actors:
            by_name[name] = by_name.get(name, 0.0) + rss_mib(pid)
    for name, mib in sorted(by_name.items(), key=lambda item: -item[1]):
        records.append({"figure": f"RSS MiB ray process {name}", "value": mib})
    return records


def describe(record: dict) -> str:
    if "median" in record:
        samples = ", ".join(f"{s:,.0f} (others {o:.2f})" for s, o in zip(record["samples"], record["other_cores"]))
        return f"{record['figure']:<44} median {record['median']:>12,.0f}   [{samples}]"
    target = f"   target {record.get('target', '-')} ({record['over']})" if "over" in record else ""
    at_load = f"   load {record['load']:.2f}" if "load" in record else ""
    return f"{record['figure']:<44} {record['value']:>12.3f}{target}{at_load}"


if __name__ == "__main__":
    sys.exit(main())
