#pragma once

// The members' docstrings: a text signature, "--", an empty line, then the
// description. Python reads the signature from them (__text_signature__).

namespace vecenv_docs {

inline constexpr const char FROM_ZSM[] =
    "from_zsm(zsm, n_envs, n_red, n_blue, step_limit=2400, tick_skip=8)\n--\n\n"
    "Build a batch from a Zorbic `.zsm` stadium (plain JSON text). Geometry,\n"
    "goals, spawns, and ball/player physics all come from the map — including\n"
    "curved wall segments (rounded corners, goal nets), so any map is faithful.";
inline constexpr const char RESET_ALL[] =
    "reset_all($self)\n--\n\n"
    "Reset every env: positions, scores, step counter. A fresh game -> RED kicks off.";
inline constexpr const char RESET_MASK[] =
    "reset_mask($self, mask)\n--\n\n"
    "Reset only the envs whose mask entry is true (gym-style auto-reset).";
inline constexpr const char PHYSICS_STEP[] =
    "physics_step($self, actions)\n--\n\n"
    "Advance all envs by `tick_skip` physics ticks using already-parsed engine\n"
    "actions `(N, P, 3)` = (dx, dy, kick). No reward, no obs, no auto-reset.\n"
    "Returns `scored` `(N,)` i8: -1 if no goal this step, else the conceding team.";
inline constexpr const char SNAPSHOT[] =
    "snapshot($self)\n--\n\n"
    "Read the current batched state without stepping. Returns\n"
    "`(ball_pos (N,2), ball_vel (N,2), player_pos (N,P,2), player_vel (N,P,2), steps (N,))`.";
inline constexpr const char SET_STATE[] =
    "set_state($self, ball_pos, ball_vel, player_pos, player_vel, steps=None)\n--\n\n"
    "Place an arbitrary state into every env: the exact inverse of `snapshot`.\n"
    "Writes ball + player positions/velocities from `(N,2)`/`(N,P,2)` arrays; the\n"
    "step counter is set from `steps` (or reset to 0). Scores are left untouched\n"
    "(they're not part of the observed state). This is the engine primitive behind\n"
    "arbitrary `StateMutator`s — random kickoffs, scenario drills, replay states —\n"
    "so episodes no longer have to begin from the fixed kickoff.";
inline constexpr const char SET_KICK_RATE_LIMIT[] =
    "set_kick_rate_limit($self, min, cost, cap)\n--\n\n"
    "Set the kickRateLimit (min, rate-cost, burst-cap) for every env. Mirrors a\n"
    "Zorbic room's `setKickRateLimit`; needed to re-simulate replays from rooms that\n"
    "changed it (e.g. the Brume ladder uses min=6). Default is min=2.";
inline constexpr const char SET_PLAYER_CMASK[] =
    "set_player_cmask($self, mask)\n--\n\n"
    "Set every player disc's collision mask (cMask). Used to enable/disable the kickoff\n"
    "barrier: during a kickoff the non-kicking team is held behind the centre semicircle\n"
    "by collision flags (cMask `39 | <kicking team's KO group>`); after the ball is\n"
    "touched it reverts to the normal `39`. Re-sim only — training kicks off via the env.";
inline constexpr const char KICK_STATE[] =
    "kick_state($self)\n--\n\n"
    "Debug: per-player kick state `(flag, cooldown)` for env 0 — `(P,)` each.";
inline constexpr const char TEAMS[] =
    "teams($self)\n--\n\n"
    "Static team flag per player slot, `(N, P)` i64 (RED/BLUE).";
inline constexpr const char GOALS[] =
    "goals($self)\n--\n\n"
    "The stadium's goal lines (same for every env). Returns\n"
    "`(p0 (G,2), p1 (G,2), team (G,))` where `team` is the side that DEFENDS /\n"
    "concedes at that goal. Geometry comes from the stadium, not hardcoded — so\n"
    "obs/reward target the real goal mouth on any map.";
inline constexpr const char WALL_SEGMENTS[] =
    "wall_segments($self)\n--\n\n"
    "Ball-colliding WALLS as straight line segments `[x0,y0,x1,y1]`, shape (M, 4): each\n"
    "straight segment the ball hits, plus every ball-colliding boundary PLANE rendered as a\n"
    "long segment. Curved segments are omitted HERE only (this obs helper raycasts straight\n"
    "lines) — the physics DOES resolve them. Static per stadium; lets a map-agnostic obs\n"
    "raycast the REAL geometry on ANY map (so the bot can read rebounds / pin for rockets).";
inline constexpr const char OBSTACLE_DISCS[] =
    "obstacle_discs($self)\n--\n\n"
    "Static OBSTACLE discs as `[x, y, radius]`, shape (D, 3) — the goal POSTS (and any other\n"
    "fixed discs the ball collides with). The ball/players bounce off these, so an obs that\n"
    "can't see them lets the bot get blocked by a post while chasing. Static per stadium;\n"
    "the ball/players themselves are dynamic and already in the obs, so they're excluded.";
inline constexpr const char PREDICT_BALL[] =
    "predict_ball($self, offsets)\n--\n\n"
    "Deterministic ball-trajectory prediction (players ignored): future ball positions at\n"
    "the given ascending tick `offsets`, shape `(N, K, 2)`. Lets a map-agnostic obs feed the\n"
    "policy \"where the ball will be\" — lookahead a tiny memoryless net can't learn implicitly,\n"
    "and exactly what's needed to read wall/corner rebounds. Exact until a player touches it.";
inline constexpr const char ROLLOUT_BENCH[] =
    "rollout_bench($self, n_steps)\n--\n\n"
    "Pure-native benchmark: run `n_steps` ticks, no Python in the loop.";

inline constexpr const char PLAYER_MAX_SPEED[] =
    "Player max speed used to normalize velocity rewards: accel*damping/(1-accel).";

}  // namespace vecenv_docs
