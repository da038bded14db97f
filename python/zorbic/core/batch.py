"""The one batch core that every face shares.

    learner actions -> action parser (+ opponents for the other slots)
        -> VecEnv.physics_step -> snapshot -> reward, episode end, observation

A `SoccerBatch` holds one `zorbic_core.VecEnv` of M matches. Each match has
the same learner slots; learner row r of every batch array is slot
`slots[r % k]` of match `r // k`, k being the number of learner slots, so
the learners of a match are adjacent. The batch never restarts a match by
itself: the faces decide when (their autoreset modes) and call `restart`.
"""

from __future__ import annotations

from typing import Any, cast

import numpy as np
from gymnasium import spaces

import zorbic_core
from zorbic import _fast
from zorbic.common.checks import positive_int
from zorbic.core.history import History, RecordingEngine
from zorbic.core.match_setup import MatchSetup, agent_names
from zorbic.core.observer import BatchObserver
from zorbic.core.state import BatchState, Field, read_state
from zorbic.engine.stadium import read_stadium, stadium_text
from zorbic.parts.actions import DIRECTIONS, DiscreteActions, make_action_parser
from zorbic.parts.opponents import ChaserOpponent, Opponent
from zorbic.parts.resets import make_reset_rule
from zorbic.parts.rewards import GoalReward, as_reward, goal_rewards


class SoccerBatch:
    """M matches of one set-up, stepped together.

    Args:
        n_matches: how many matches the batch holds.
        setup: what every match is (stadium, teams, parts).
    """

    # The step's own bookkeeping and the built-in parts' plain forms go
    # through compiled loops (zorbic._fast); False takes the NumPy lines
    # beside them, which give the same bits.
    fast = True

    def __init__(self, n_matches: int, setup: MatchSetup) -> None:
        self._build(n_matches, setup)
        self.seed(None)

    def _build(self, n_matches: int, setup: MatchSetup) -> None:
        n_matches = positive_int("n_matches", n_matches)
        if not isinstance(setup, MatchSetup):
            raise TypeError(f"setup must be a MatchSetup, not {type(setup).__name__}")
        self.setup = setup
        self.stadium = read_stadium(stadium_text(setup.stadium))
        self.env = zorbic_core.VecEnv.from_zsm(
            self.stadium.text, n_matches, setup.n_red, setup.n_blue, tick_skip=setup.tick_skip
        )
        self.field = Field.of(self.env, self.stadium, setup.n_red, setup.n_blue)
        self.n_matches = n_matches
        self.slots = np.array(setup.slots, np.int64)
        self.others = np.array([s for s in range(self.field.n_players) if s not in setup.slots], np.int64)
        self.agents = [agent_names(setup.n_red, setup.n_blue)[s] for s in setup.slots]
        self.obs_builder = setup.obs_builder
        # The set-up made its parts from the choices it was given; these pass them through as they are.
        self.action_parser = make_action_parser(setup.action_parser)
        self.reward_fn = as_reward(setup.reward_fn)
        self.reset_rule = make_reset_rule(setup.reset_rule)
        self.opponent: Opponent = setup.opponent
        self.observation_space: spaces.Box = self.obs_builder.space(self.field)
        self.action_space: spaces.Space = self.action_parser.space
        self.observers: list[BatchObserver] = []

        k = len(self.slots)
        self.n_learners = n_matches * k
        # A run of neighbouring slots is written through a slice, not an index array.
        self._learner_columns = _columns(self.slots)
        self._other_columns = _columns(self.others)
        # The compiled loops write runs of neighbouring columns only.
        self._first_learner = _first(self._learner_columns)
        self._first_other = _first(self._other_columns)
        self._learner_teams = np.ascontiguousarray(self.field.teams[self.slots])
        self._mirror_rows = np.tile(self.field.mirror[self.slots], n_matches)
        # Blue rows read the mirrored half of the discrete table.
        self._sided_offsets = (self._mirror_rows < 0) * np.int64(2 * len(DIRECTIONS))
        self._actions = np.zeros((n_matches, self.field.n_players, 3), np.int64)
        self._episode_steps = np.zeros(n_matches, np.int64)
        self._scored = np.full(n_matches, -1, np.int8)
        self._terminated = np.zeros(n_matches, np.bool_)
        self._truncated = np.zeros(n_matches, np.bool_)
        self.history = History(n_matches)
        # Read when first asked for after a change: a step that restarts matches reads once, not twice.
        self._state: BatchState | None = self._read()

    # ------------------------------------------------------------- seeding

    def seed(self, seed: int | None) -> None:
        """Seed the parts that draw random numbers: the opponent and the reset rule."""
        opponent_rng, reset_rng = (np.random.default_rng(s) for s in np.random.SeedSequence(seed).spawn(2))
        self.opponent.seed(opponent_rng)
        self.reset_rule.seed(reset_rng)

    def _read(self) -> BatchState:
        return read_state(self.env, self._episode_steps, self._scored, self._terminated)

    @property
    def state(self) -> BatchState:
        """The state of every match after the last step or restart."""
        # Read when first asked for: after a step that the face follows with a
        # restart, nobody may look before the restart reads it again.
        if self._state is None:
            self._state = self._read()
        return self._state

    @state.setter
    def state(self, state: BatchState) -> None:
        self._state = state

    @property
    def ended(self) -> np.ndarray:
        """Per match (M,) bool: the last step ended its episode, by a goal or at max_steps."""
        return self._terminated | self._truncated

    def refresh(self) -> None:
        """Read the state again after the engine was changed directly (`batch.env.set_state`)."""
        self.state = self._read()
        self.history.unknown[:] = True

    # ------------------------------------------------------- row <-> match

    def rows(self, matches: np.ndarray) -> np.ndarray:
        """A per-match array (M, ...) repeated for each learner row (always a new array)."""
        if len(self.slots) == 1:
            return matches.copy()
        return matches.repeat(len(self.slots), axis=0)

    def matches(self, rows: np.ndarray, what: str = "mask") -> np.ndarray:
        """A per-row boolean mask as a per-match mask; the learners of a match must agree."""
        per_match = rows.reshape(self.n_matches, len(self.slots))
        if np.any(per_match != per_match[:, :1]):
            raise ValueError(f"the {what} must be the same for every learner of a match (rows {len(self.slots)} apart)")
        return per_match[:, 0].copy()

    # ------------------------------------------------------------ episodes

    def add_observer(self, observer: BatchObserver) -> None:
        """Follow every restart (`on_reset`) and step (`on_step`) of the batch.

        Args:
            observer: a `BatchObserver`; `on_step` gets the engine actions
                (M, P, 3) in a buffer that the next step overwrites: copy what you keep.
        """
        if not isinstance(observer, BatchObserver):
            raise TypeError(f"an observer needs on_reset and on_step methods; {type(observer).__name__} lacks them")
        self.observers.append(observer)

    def remove_observer(self, observer: BatchObserver) -> None:
        """Stop telling `observer` about restarts and steps (a ValueError if it was not following)."""
        self.observers.remove(observer)

    def restart(self, which: np.ndarray | None = None) -> None:
        """Start new episodes in the matches `which` (M,), all of them by default."""
        which = np.ones(self.n_matches, np.bool_) if which is None else np.asarray(which, np.bool_)
        if not which.any():
            return
        # The recorder stands in for the engine, so that a copy can replay what the rule did.
        engine = cast(zorbic_core.VecEnv, RecordingEngine(self.env, self.history))
        start = self.reset_rule.restart(engine, self.field, which)
        self._episode_steps[which] = 0
        self._scored[which] = -1
        self._terminated[which] = False
        self._truncated[which] = False
        self.state = self._read()
        self.obs_builder.reset(self.state, self.field, self.slots, which)
        self.reward_fn.reset(self.state, self.field, self.slots, which)
        if len(self.others):
            self.opponent.reset(self.state, self.field, self.others, which)
        for observer in self.observers:
            observer.on_reset(self, which, start)

    def observe(self) -> np.ndarray:
        """Every learner's observation, float32 (n_learners, size)."""
        obs = self.obs_builder.build(self.state, self.field, self.slots)
        return obs.reshape(self.n_learners, -1)

    def step(self, actions: object) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Step every match once; returns per-row rewards, terminated and truncated.

        The actions are checked before any match moves.
        """
        rewards, terminated, truncated = self.step_matches(actions)
        return rewards, self.rows(terminated), self.rows(truncated)

    def step_matches(self, actions: object) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """`step`, with terminated and truncated per match (M,) rather than per row.

        Those two are the batch's own arrays, which the next step overwrites:
        read them, or copy them, before stepping again. A face of one match
        takes its flags from them without spreading them over its rows first.
        """
        engine = self._actions
        parser = self.action_parser
        k = len(self.slots)
        # The compiled table takes the plain forms; anything else, or anything
        # wrong, goes through the parser's own checks.
        if not (
            self.fast
            and type(parser) is DiscreteActions
            and parser.fast
            and self._first_learner >= 0
            and _fast.discrete(actions, parser.sided, self._sided_offsets, engine, self._first_learner, k)
        ):
            if type(actions) is int:
                # One learner's action as a plain number, as the single-match faces pass it on.
                actions = np.asarray(actions)[None]
            checked = parser.check(actions, self.n_learners)
            engine[:, self._learner_columns] = parser.to_engine(checked, self._mirror_rows).reshape(
                self.n_matches, len(self.slots), 3
            )
        if len(self.others):
            opponent = self.opponent
            if self.fast and type(opponent) is ChaserOpponent and opponent.fast and self._first_other >= 0:
                opponent.act_into(self.state, self.field, self.others, engine, self._first_other)
            else:
                engine[:, self._other_columns] = opponent.act(self.state, self.field, self.others)
        self._scored[:] = self.env.physics_step(engine)
        self._state = None
        self.history.step(engine)
        # Goals end episodes unless every episode runs to max_steps together.
        goals_end = not self.setup.sync_episodes
        if self.fast:
            _fast.episode(
                self._scored, self._episode_steps, self._terminated, self._truncated, self.setup.max_steps, goals_end
            )
        else:
            self._episode_steps += 1
            np.not_equal(self._scored, -1, out=self._terminated)
            self._terminated &= goals_end
            np.greater_equal(self._episode_steps, self.setup.max_steps, out=self._truncated)
            self._truncated &= ~self._terminated
        for observer in self.observers:
            observer.on_step(self, engine, self._scored)

        reward_fn = self.reward_fn
        if self.fast and type(reward_fn) is GoalReward and reward_fn.fast:
            # It needs only who scored: the bodies are read when someone asks.
            rewards = goal_rewards(self._scored, self._learner_teams).reshape(-1)
        else:
            rewards = reward_fn(self.state, self.field, self.slots).reshape(-1)
        return rewards, self._terminated, self._truncated

    # ------------------------------------------------------ copy and pickle

    def __reduce__(self) -> tuple[Any, ...]:
        """Copies and pickles hold plain data: the set-up, the parts and the engine's history.

        The copy re-simulates the history on a fresh engine and checks that it
        arrived at this batch's state; observers (renderers, recorders) stay
        with the original.
        """
        self._check_copyable()
        counters = {
            "episode_steps": self._episode_steps.copy(),
            "scored": self._scored.copy(),
            "terminated": self._terminated.copy(),
        }
        parts = {name: getattr(self, name) for name in _PARTS}
        return (_rebuild, (self.n_matches, self.setup, parts, self.history.plain(), counters, self.env.snapshot()))

    def _check_copyable(self) -> None:
        if self.history.unknown.any():
            raise RuntimeError(
                "this batch cannot be copied: its engine was changed directly (refresh), which a copy cannot"
                " reproduce; it can again once every match has restarted"
            )
        movable = [i for i, disc in enumerate(self.stadium.discs) if disc.inv_mass != 0]
        if movable:
            raise RuntimeError(
                f"this batch cannot be copied: the stadium's obstacle discs {movable} can be pushed, and their"
                " state cannot be read back"
            )


def _columns(slots: np.ndarray) -> slice | np.ndarray:
    """The player slots as an index: a run of neighbouring slots as a slice, which NumPy writes faster."""
    if len(slots) and slots[-1] - slots[0] == len(slots) - 1:
        return slice(int(slots[0]), int(slots[-1]) + 1)
    return slots


def _first(columns: slice | np.ndarray) -> int:
    """The first column of a run of neighbouring slots, or -1 for scattered ones."""
    return columns.start if isinstance(columns, slice) else -1


_PARTS = ("obs_builder", "action_parser", "reward_fn", "reset_rule", "opponent")


def _same(a: tuple[np.ndarray, ...], b: tuple[np.ndarray, ...]) -> bool:
    return all(x.dtype == y.dtype and x.shape == y.shape and x.tobytes() == y.tobytes() for x, y in zip(a, b))


def _rebuild(
    n_matches: int,
    setup: MatchSetup,
    parts: dict[str, Any],
    history: dict[str, Any],
    counters: dict[str, np.ndarray],
    snapshot: tuple[np.ndarray, ...],
) -> SoccerBatch:
    # Built without seeding: the parts come with their generators as they were.
    batch = SoccerBatch.__new__(SoccerBatch)
    batch._build(n_matches, setup)
    for name in _PARTS:
        setattr(batch, name, parts[name])
    batch.history = History.from_plain(history)
    batch.history.replay(batch.env)
    if not _same(batch.env.snapshot(), snapshot):
        raise RuntimeError("the copy of the batch did not arrive at the original's state; it was refused")
    batch._episode_steps[:] = counters["episode_steps"]
    batch._scored[:] = counters["scored"]
    batch._terminated[:] = counters["terminated"]
    batch._truncated[:] = (batch._episode_steps >= setup.max_steps) & ~batch._terminated
    batch.state = batch._read()
    # Parts keep what they remember of a batch per batch; a new one learns it
    # from the state it starts in, which is all they remember of the last step.
    everything = np.ones(n_matches, np.bool_)
    batch.obs_builder.reset(batch.state, batch.field, batch.slots, everything)
    batch.reward_fn.reset(batch.state, batch.field, batch.slots, everything)
    return batch
