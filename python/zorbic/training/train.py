"""Training PPO on 1 v 1 (or a team game) in the classic stadium within a budget of time or samples.

    scripts/train [--minutes 15 | --samples N] [--out training] [--n-red 3 --n-blue 3] [--ladder]

What was chosen, and why:

- One batch of 128 matches (`zorbic.faces.sb3`): every step is one engine call
  and one policy call for all of them, so the loop's cost per sample is
  small next to the update's. The learner plays red.
- Observations: the egocentric vector plus both goal mouths relative to the
  player (16 values): the goal is where the ball must go, and a relative
  vector spares the network a subtraction. Every value is scaled to about
  [-1, 1] already, so there is no running normalisation, and a saved model
  (or a frozen copy of it) reads the batch's observations as they are.
- Reward: +1 / -1 at the goal, plus the change of two potentials at every
  step: minus the ball's distance to the attacked goal (weight 1: an attack
  from the centre earns about +0.45 on the way, comparable to the goal),
  and minus the player's distance to the ball (weight 0.25: it leads a
  fresh policy to the ball before it ever scores). Over an episode they add
  up to the last potential minus the first, so they cannot outweigh the
  goal. They are not discounted: with gamma < 1 and potentials below zero
  every step pays (1 - gamma) times the distances, a bonus for keeping the
  match going, and the first runs learnt never to score.
- Opponents (`zorbic.parts.curriculum`): idle, then random, then the chaser, then
  frozen copies of the learner, each stage ending when an evaluation reaches
  its win rate and keeping a share of the earlier opponents.
- PPO: 128 steps per rollout (16384 samples), 4 epochs of minibatches of
  4096, gamma 0.99 (a horizon of about 100 steps, 13 s of play at 7.5 steps
  a second, longer than an attack), GAE 0.95, two hidden layers of 64 for
  the policy and the value each: small networks keep an update cheap on 2
  cores. Rollouts act through NumPy on one thread, updates run torch on
  every core (`zorbic.training.ppo`; `--update-threads 1` on a machine
  that other work keeps busy). Learning rate 1e-3 rather than the usual
  3e-4: in 3-minute trials the idle opponent fell at 99 % after 60 to 90 s
  instead of 140 s. Entropy 0.01: with 0.003 the policy settled early, and
  one run of two never got past 65 % against the random opponent in 6
  minutes.
- Budget: `--minutes`, or `--samples` with evaluations every
  `--eval-samples`: then the curriculum moves on at the same samples on
  any machine, and the run is the same (CI trains this way).
- Evaluation every `--eval-seconds` against idle, random and chaser with
  `--eval-matches` matches each (`zorbic.training.evaluate`: the learner plays red
  and draws its actions from its distribution), with the same seed every
  time, so that points of the curve differ by the policy alone.

Teams (`--n-red 3 --n-blue 3`; the default is 1 v 1):

- One shared policy drives every red slot (learners "red"): each team-mate
  acts on its own egocentric observation, which lists its team-mates (slot
  order, itself left out) before the opponents, both relative to it, and
  the goal mouths. Each team-mate is a row of the rollout, so a 3 v 3
  rollout holds three times the samples of a 1 v 1 one.
- Reward per player, made of team terms: the goal (+1 / -1 to every
  team-mate), the ball's distance to the attacked goal (the same for the
  whole team), and instead of each player's own distance to the ball the
  distance of the team-mate nearest to it (weight 0.25, shared): a run to
  the ball pays only the player who is nearest, so three players are not
  paid to crowd it, and the others are free to take positions.
- Opponents: the same curriculum, with whole teams of the idle, random
  and chaser opponents; frozen copies of the learner drive every blue
  slot, each from its own mirrored observation, as the learner would.
- Evaluation plays the same team sizes, the learner's team on red.

With `--ladder` the trainer keeps a frozen copy at every evaluation and at
the end rates up to eight of them, spread over the run, against each other
and the built-in opponents (`zorbic.training.ladder`), `--eval-matches`
matches per pair: the table is printed and written with the copies into
`--out`/ladder.

At the end it writes into `--out`: model.zip (for more training; it is a
pickle, so keep it to yourself), model.agent (the agent file to evaluate,
play against and share: weights and set-up, no code), evaluations.json,
learning-curve.png, and a replay (match.zrp) and GIF (match.gif) of one
evaluation match against the chaser.
"""

from __future__ import annotations

import argparse
import json
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from zorbic.agents import agent_from_policy, save_agent, setup_from_saved
from zorbic.commands.base import whole_number
from zorbic.common.files import atomic_path, write_atomic
from zorbic.core.match_setup import MAX_PLAYERS, MatchSetup
from zorbic.parts.actions import make_action_parser
from zorbic.parts.curriculum import Curriculum
from zorbic.parts.observations import EgocentricObservation
from zorbic.parts.rewards import Combined, DistancePotential, GoalReward
from zorbic.training.evaluate import Evaluation, play_matches
from zorbic.training.model_files import saved_setup

GAMMA = 0.99
# Frozen copies a ladder of the run rates: 8 entries and the 3 built-ins make 55 pairs.
LADDER_COPIES = 8
OPPONENTS = ("idle", "random", "chaser")
PPO_SETTINGS: dict[str, Any] = {
    "n_steps": 128,
    "batch_size": 4096,
    "n_epochs": 4,
    "learning_rate": 1e-3,
    "gamma": GAMMA,
    "gae_lambda": 0.95,
    "clip_range": 0.2,
    "ent_coef": 0.01,
    "policy_kwargs": {"net_arch": {"pi": [64, 64], "vf": [64, 64]}},
}


def match_keywords(n_red: int = 1, n_blue: int = 1) -> dict[str, Any]:
    """What a training match is, apart from its reward and opponent."""
    return {
        "n_red": n_red,
        "n_blue": n_blue,
        "tick_skip": 8,
        "max_steps": 300,
        "obs_builder": EgocentricObservation(goal_mouths=True),
    }


def shaped_reward(team_size: int = 1) -> Combined:
    """The goal and the two potentials; in a team, the run to the ball pays its nearest player only."""
    to_ball = "player_to_ball" if team_size == 1 else "team_to_ball"
    return Combined(
        (GoalReward(), 1.0),
        (DistancePotential("ball_to_goal", 1.0), 1.0),
        (DistancePotential(to_ball, 1.0), 0.25),
    )


@dataclass
class Point:
    """One evaluation during training."""

    seconds: float
    samples: int
    stage: str  # the stage the training goes on in after this evaluation
    results: dict[str, tuple[int, int, int]]  # opponent -> (wins, losses, undecided)

    def evaluation(self, opponent: str) -> Evaluation:
        return Evaluation(opponent, *self.results[opponent])


@dataclass
class Timing:
    rollout: float = 0.0
    update: float = 0.0
    evaluation: float = 0.0
    marks: dict[str, float] = field(default_factory=dict)


def evaluate_all(policy: Any, matches: int, seed: int, keywords: dict[str, Any] | None = None) -> dict[str, Evaluation]:
    keywords = keywords or match_keywords()
    return {name: play_matches(policy, name, matches, seed, **keywords) for name in OPPONENTS}


@dataclass(frozen=True)
class Budget:
    """How long a run trains and how often it evaluates: by the clock, or by samples.

    A budget of samples, with evaluations every `eval_samples`, makes the run
    the same on any machine: the curriculum moves on at the same samples.
    """

    seconds: float | None = None
    samples: int | None = None
    eval_seconds: float = 45.0
    eval_samples: int | None = None

    def __post_init__(self) -> None:
        if (self.seconds is None) == (self.samples is None):
            raise ValueError("a training budget is either seconds or samples")

    def due(self, seconds_since: float, samples_since: int) -> bool:
        """Whether an evaluation is due, this long and this many samples after the last one."""
        if self.eval_samples is not None:
            return samples_since >= self.eval_samples
        return seconds_since >= self.eval_seconds

    def cadence(self) -> str:
        return f"{self.eval_samples:,} samples" if self.eval_samples is not None else f"{self.eval_seconds:g} s"


def _callback(
    budget: Budget,
    eval_matches: int,
    seed: int,
    curriculum: Curriculum,
    keywords: dict[str, Any],
    keep_copies: bool = False,
) -> Any:
    from stable_baselines3.common.callbacks import BaseCallback
    from tqdm import tqdm

    class TrainingLoop(BaseCallback):
        """Stops at the budget, evaluates on its cadence, moves the curriculum on."""

        def __init__(self) -> None:
            super().__init__()
            self.points: list[Point] = []
            self.timing = Timing()
            self.start = time.perf_counter()
            self.last_eval = (-np.inf, -(10**18))
            if budget.samples is not None:
                self.bar = tqdm(
                    total=budget.samples, unit=" samples", desc="training", dynamic_ncols=True, mininterval=1.0
                )
            else:
                self.bar = tqdm(total=round(budget.seconds or 0), unit="s", desc="training", dynamic_ncols=True)
            self.copies: list[tuple[str, Any]] = []

        def elapsed(self) -> float:
            return time.perf_counter() - self.start

        def _on_rollout_start(self) -> None:
            now = time.perf_counter()
            if "rollout_end" in self.timing.marks:
                self.timing.update += now - self.timing.marks["rollout_end"]
            self.timing.marks["rollout_start"] = now

        def _on_step(self) -> bool:
            elapsed = self.elapsed()
            if budget.samples is not None:
                # PPO itself stops at the budget, after the rollout that reaches it.
                done = min(int(self.num_timesteps), budget.samples)
                if done > self.bar.n:
                    self.bar.set_postfix_str(f"stage {curriculum.stage.name}", refresh=False)
                    self.bar.update(done - self.bar.n)
                return True
            second = min(int(elapsed), self.bar.total)
            if second > self.bar.n:
                self.bar.set_postfix_str(
                    f"{self.num_timesteps:,} samples, stage {curriculum.stage.name}", refresh=False
                )
                self.bar.update(second - self.bar.n)
            return elapsed < (budget.seconds or 0)

        def _on_rollout_end(self) -> None:
            now = time.perf_counter()
            self.timing.rollout += now - self.timing.marks["rollout_start"]
            seconds, samples = self.last_eval
            if budget.due(self.elapsed() - seconds, self.num_timesteps - samples):
                self.evaluate()
            self.timing.marks["rollout_end"] = time.perf_counter()

        def evaluate(self) -> None:
            began = time.perf_counter()
            self.last_eval = (self.elapsed(), self.num_timesteps)
            results = evaluate_all(self.model, eval_matches, seed, keywords)
            if keep_copies:
                name = f"copy{len(self.copies) + 1:02d}-{self.num_timesteps}"
                self.copies.append((name, agent_from_policy(self.model.policy, self.model.zorbic_setup)))
            rates = {name: r.win_rate for name, r in results.items()}
            # Frozen copies act through NumPy: no torch call per opponent step, nothing pickled.
            if curriculum.advance(rates, lambda: agent_from_policy(self.model.policy, None)):
                env = self.training_env.unwrapped
                env.set_opponent(curriculum.opponent(env.batch.obs_builder, env.batch.action_parser))
            point = Point(
                round(self.elapsed(), 1),
                int(self.num_timesteps),
                curriculum.stage.name,
                {name: (r.wins, r.losses, r.undecided) for name, r in results.items()},
            )
            self.points.append(point)
            won = "  ".join(f"{name} {100 * r.win_rate:5.1f} %" for name, r in results.items())
            self.bar.write(f"{point.seconds:7.1f} s {point.samples:>10,} samples  won: {won}  -> stage {point.stage}")
            self.timing.evaluation += time.perf_counter() - began

        def _on_training_end(self) -> None:
            self.bar.close()

    return TrainingLoop()


def plot_curve(points: list[Point], path: Path, teams: str = "1 v 1") -> Path:
    """Win rates against each opponent over training samples, with their 95 % Wilson bands."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(8, 4.5), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    samples = np.array([p.samples for p in points]) / 1e6
    for name in OPPONENTS:
        evaluations = [p.evaluation(name) for p in points]
        rate = np.array([e.win_rate for e in evaluations]) * 100
        low, high = (np.array(bounds) * 100 for bounds in zip(*(e.interval for e in evaluations)))
        (line,) = axes.plot(samples, rate, marker="o", markersize=3, label=f"against {name}")
        axes.fill_between(samples, low, high, color=line.get_color(), alpha=0.2, linewidth=0)
    for before, after in zip(points, points[1:]):
        if after.stage != before.stage:
            axes.axvline(after.samples / 1e6, color="grey", linestyle=":", linewidth=1)
            axes.text(after.samples / 1e6, 97, f" {after.stage}", color="grey", fontsize=8, va="top")
    matches = sum(points[0].results[OPPONENTS[0]]) if points else 0
    axes.set(
        xlabel="training samples (millions)",
        ylabel="matches won (%)",
        ylim=(0, 100),
        title=f"PPO, {teams}, classic stadium: win rate over {matches} evaluation matches (95 % Wilson band)",
    )
    axes.title.set_fontsize(10)
    axes.grid(alpha=0.3)
    axes.legend(loc="center right")
    figure.tight_layout()
    with atomic_path(path) as temporary:
        figure.savefig(temporary)
    return path


def record_match(model: Any, out: Path, seed: int, keywords: dict[str, Any] | None = None) -> list[Path]:
    """A replay and a GIF of one evaluation match against the chaser, with the model playing red."""
    from zorbic.display.render import Renderer
    from zorbic.display.video import replay_fps, replay_pictures, write_gif
    from zorbic.replays.recording import BatchRecorder

    recorders: list[BatchRecorder] = []
    result = play_matches(
        model,
        "chaser",
        1,
        seed,
        side="red",
        watch=lambda batch: recorders.append(BatchRecorder.attach(batch)),
        **(keywords or match_keywords()),
    )
    replay = recorders[0].recorder.replay()
    replay_path = out / "match.zrp"
    recorders[0].recorder.save(replay_path)
    gif_path = out / "match.gif"
    from zorbic.engine.stadium import read_stadium

    renderer = Renderer(read_stadium(replay.stadium), 640, 320)
    write_gif(replay_pictures(replay, renderer), gif_path, replay_fps(replay), replay.n_steps + 1)
    outcome = "won" if result.wins else "lost" if result.losses else "undecided"
    print(
        f"recorded one evaluation match against the chaser ({outcome}, {replay.n_steps} steps):"
        f" {replay_path}, {gif_path}"
    )
    return [replay_path, gif_path]


def ladder_of_copies(copies: list[tuple[str, Any]], folder: Path, matches: int, seed: int) -> list[Path]:
    """Rate up to eight of the frozen `copies`, spread over the run and the last
    among them, against each other and the built-in opponents; the files written."""
    from zorbic.training.ladder import Entry, play_ladder, write_ladder

    chosen = sorted({round(i) for i in np.linspace(0, len(copies) - 1, min(LADDER_COPIES, len(copies)))})
    folder.mkdir(exist_ok=True)
    entries = [Entry(name) for name in OPPONENTS]
    written = []
    for name, agent in (copies[i] for i in chosen):
        written.append(Path(save_agent(agent, folder / f"{name}.agent")))
        entries.append(Entry(name, agent, setup_from_saved(agent.setup)))
    pairs = len(entries) * (len(entries) - 1) // 2
    print(f"ladder of {len(chosen)} frozen copies and the built-in opponents: {pairs} pairs of {matches} matches")
    ladder = play_ladder(entries, matches, seed)
    print(ladder.table())
    return written + write_ladder(ladder, folder)


def train(
    out: Path,
    *,
    minutes: float | None = None,
    samples: int | None = None,
    envs: int = 128,
    seed: int = 0,
    eval_seconds: float = 45.0,
    eval_samples: int | None = None,
    eval_matches: int = 200,
    update_threads: int | None = None,
    n_red: int = 1,
    n_blue: int = 1,
    ladder: bool = False,
) -> dict[str, Any]:
    """Train, evaluate and write the results into `out` (see the module's notes); the summary.

    Args:
        out: the folder for the results.
        minutes: the budget as time; or else
        samples: the budget as samples, rounded up to whole rollouts.
        envs: matches played at once.
        seed: the seed of the model, the matches and the evaluations.
        eval_seconds: seconds between evaluations, unless
        eval_samples: samples between evaluations is given.
        eval_matches: matches per opponent in each evaluation.
        update_threads: torch threads in updates (default: every core; see `zorbic.training.ppo`).
        n_red: players in the learner's team, all driven by the one policy.
        n_blue: players in the other team.
        ladder: keep a frozen copy at every evaluation and write their ladder at the end.
    """
    import torch
    from stable_baselines3.common.vec_env import VecMonitor

    from zorbic.faces.sb3 import make_vec_env
    from zorbic.training.ppo import TrainerPPO

    budget = Budget(None if minutes is None else minutes * 60.0, samples, eval_seconds, eval_samples)
    out.mkdir(parents=True, exist_ok=True)
    curriculum = Curriculum()
    keywords = match_keywords(n_red, n_blue)
    setup = MatchSetup(**keywords)
    first = curriculum.opponent(setup.obs_builder, make_action_parser(setup.action_parser))
    # One shared policy over every red slot: each team-mate is an env of its own.
    reward = shaped_reward(n_red)
    env = VecMonitor(make_vec_env(envs * n_red, opponent=first, reward_fn=reward, learners="red", **keywords))
    rollout = PPO_SETTINGS["n_steps"] * envs * n_red
    settings = {**PPO_SETTINGS, "batch_size": min(PPO_SETTINGS["batch_size"], rollout)}
    model = TrainerPPO("MlpPolicy", env, seed=seed, device="cpu", verbose=0, update_threads=update_threads, **settings)
    model.zorbic_setup = saved_setup(setup)
    loop = _callback(budget, eval_matches, seed, curriculum, keywords, ladder)
    length = f"{minutes:g} minutes" if minutes is not None else f"{samples:,} samples"
    teams = f"{n_red} v {n_blue}"
    print(
        f"training PPO for {length} on {envs} matches of {teams} (torch {torch.__version__}, one"
        f" thread in rollouts, {model.update_threads} in updates); evaluating every {budget.cadence()} with"
        f" {eval_matches} matches per opponent"
    )
    began = time.perf_counter()
    model.learn(total_timesteps=samples or 10**12, callback=loop, progress_bar=False)
    loop.evaluate()
    seconds = time.perf_counter() - began

    with atomic_path(out / "model.zip") as temporary:
        model.save(temporary, include=["zorbic_setup"])
    save_agent(agent_from_policy(model.policy, model.zorbic_setup), out / "model.agent")
    history = [asdict(point) for point in loop.points]
    timing = loop.timing
    summary = {
        "samples": int(model.num_timesteps),
        "seconds": round(seconds, 1),
        "samples_per_second": round(model.num_timesteps / seconds),
        "seconds_in": {
            "rollouts": round(timing.rollout, 1),
            "updates": round(timing.update, 1),
            "evaluations": round(timing.evaluation, 1),
        },
        "stage": curriculum.stage.name,
        "settings": {"envs": envs, "seed": seed, "n_red": n_red, "n_blue": n_blue, **settings},
        "evaluations": history,
    }
    write_atomic(out / "evaluations.json", json.dumps(summary, indent=1).encode())
    plot_curve(loop.points, out / "learning-curve.png", teams)
    written = [out / "model.zip", out / "model.agent", out / "evaluations.json", out / "learning-curve.png"]
    written += record_match(model, out, seed, keywords)
    if ladder:
        written += ladder_of_copies(loop.copies, out / "ladder", eval_matches, seed)
    print(
        f"{summary['samples']:,} samples in {seconds:.0f} s: {summary['samples_per_second']:,} samples/s"
        f" (rollouts {timing.rollout:.0f} s, updates {summary['seconds_in']['updates']:.0f} s,"
        f" evaluations {timing.evaluation:.0f} s); last stage: {curriculum.stage.name}"
    )
    for line in (loop.points[-1].evaluation(name) for name in OPPONENTS):
        print("  " + line.line())
    print("wrote " + ", ".join(str(path) for path in written))
    print(f"evaluate with: python -m zorbic evaluate {out / 'model.agent'} --against chaser --matches 1000")
    return summary


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="scripts/train", description="Train PPO on 1 v 1 (or a team game) in the classic stadium."
    )
    length = parser.add_mutually_exclusive_group()
    length.add_argument("--minutes", type=float, default=None, help="time budget of the training (default 15)")
    length.add_argument(
        "--samples",
        type=int,
        default=None,
        help="budget in samples instead of time, so that the run is the same on any machine",
    )
    parser.add_argument("--out", type=Path, default=Path("training"), help="folder for the results (default training)")
    parser.add_argument(
        "--envs",
        type=int,
        default=128,
        help="matches played at once (default 128; a multiple of 32 fills every minibatch)",
    )
    parser.add_argument("--seed", type=int, default=0, help="seed of the model, the matches and the evaluations")
    cadence = parser.add_mutually_exclusive_group()
    cadence.add_argument("--eval-seconds", type=float, default=45.0, help="seconds between evaluations (default 45)")
    cadence.add_argument(
        "--eval-samples", type=int, default=None, help="samples between evaluations, instead of seconds"
    )
    parser.add_argument(
        "--eval-matches", type=int, default=200, help="matches per opponent in each evaluation (default 200)"
    )
    parser.add_argument(
        "--update-threads",
        type=int,
        default=None,
        help="torch threads in updates (default every core; 1 on a machine other work keeps busy)",
    )
    players = whole_number(1, MAX_PLAYERS - 1)
    parser.add_argument("--n-red", type=players, default=1, help="players in the learner's team (default 1)")
    parser.add_argument("--n-blue", type=players, default=1, help="players in the other team (default 1)")
    parser.add_argument(
        "--ladder", action="store_true", help="rate frozen copies of the run at the end and write their ladder"
    )
    args = parser.parse_args(argv)
    if args.minutes is None and args.samples is None:
        args.minutes = 15.0
    positive = [args.envs, args.eval_matches, args.eval_seconds, args.minutes or 1, args.samples or 1]
    positive.append(1 if args.update_threads is None else args.update_threads)
    if min(positive) <= 0 or (args.eval_samples is not None and args.eval_samples <= 0):
        parser.error(
            "--minutes, --samples, --envs, --eval-seconds, --eval-samples, --eval-matches and --update-threads"
            " must be positive"
        )
    if args.n_red + args.n_blue > MAX_PLAYERS:
        parser.error(f"--n-red and --n-blue may add up to {MAX_PLAYERS} at most")
    train(
        args.out,
        minutes=args.minutes,
        samples=args.samples,
        envs=args.envs,
        seed=args.seed,
        eval_seconds=args.eval_seconds,
        eval_samples=args.eval_samples,
        eval_matches=args.eval_matches,
        update_threads=args.update_threads,
        n_red=args.n_red,
        n_blue=args.n_blue,
        ladder=args.ladder,
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
