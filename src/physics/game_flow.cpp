#include "game_flow.hpp"

#include <cstdint>
#include <limits>

#include "collision_flags.hpp"
#include "state_contract.hpp"

namespace {

constexpr std::int64_t GOAL_COUNTDOWN = 150;
constexpr double SPAWN_SPACING = 55.0;

// Fallback kickoff places alternate around the centre line of a side:
// 0, -55, 55, -110, 110, ... for k = 0, 1, 2, 3, 4.
double fallback_spawn_y(std::uint64_t k) {
    const double rank = static_cast<double>(k / 2 + k % 2);  // floor((k + 1) / 2) without k + 1
    return rank * (k % 2 == 0 ? SPAWN_SPACING : -SPAWN_SPACING);
}

Vec2 kickoff_position(const std::vector<Vec2>& spawn_points, std::uint64_t k, double x) {
    if (k < spawn_points.size()) return spawn_points[k];
    return {x, fallback_spawn_y(k)};
}

void set_player_masks(MatchState& state, CollisionFlags mask) {
    for (std::uint64_t j = 0; j < state.n_players; ++j) state.discs[state.first_player + j].cMask = mask;
}

// Whether the ball's centre, moving from b0 to b1, met the goal line p0-p1.
// Touching counts; every comparison is written so that a NaN product fails it.
bool crossed(const Goal& goal, Vec2 b0, Vec2 b1) {
    const Vec2 p0 = goal.p0;
    const Vec2 p1 = goal.p1;
    const Vec2 d = b1 - b0;
    const double s0 = d.y * (b1.x - p0.x) - d.x * (b1.y - p0.y);
    const double s1 = d.y * (b1.x - p1.x) - d.x * (b1.y - p1.y);
    if (!(s1 * s0 <= 0.0)) return false;
    const Vec2 g = p1 - p0;
    const double t0 = g.y * (b0.x - p0.x) - g.x * (b0.y - p0.y);
    const double t1 = g.y * (b1.x - p0.x) - g.x * (b1.y - p0.y);
    return t1 * t0 <= 0.0;
}

// A score stops at its largest value instead of wrapping back to 0.
void add_goal(std::uint32_t& score) {
    if (score < std::numeric_limits<std::uint32_t>::max()) ++score;
}

}  // namespace

void reset_positions(MatchState& state) {
    require_consistent_state(state, "reset_positions");
    Disc& ball = state.discs[0];
    ball.pos = {0.0, 0.0};
    ball.vel = {0.0, 0.0};

    std::uint64_t red_placed = 0;
    std::uint64_t blue_placed = 0;
    for (std::uint64_t j = 0; j < state.n_players; ++j) {
        Disc& p = state.discs[state.first_player + j];
        p.vel = {0.0, 0.0};
        if (p.team == RED) {
            p.pos = kickoff_position(state.red_spawn_points, red_placed++, -state.spawn_distance);
        } else {
            p.pos = kickoff_position(state.blue_spawn_points, blue_placed++, state.spawn_distance);
        }
        state.kick_flag[j] = 0;
        state.kick_held[j] = 0;
        state.kick_cooldown[j] = 0;
        state.kick_budget[j] = 0;
        p.cMask = PLAYER_CMASK;
    }
    state.phase = GamePhase::Kickoff;
    state.goal_timer = 0;
}

void reset_match(MatchState& state) {
    reset_positions(state);
    state.red_score = 0;
    state.blue_score = 0;
    state.steps = 0;
    state.kickoff_team = RED;
}

std::optional<Team> phase_step(MatchState& state, Vec2 b0, Vec2 b1) {
    require_consistent_state(state, "phase_step");
    return advance_phase(state, b0, b1);
}

std::optional<Team> advance_phase(MatchState& state, Vec2 b0, Vec2 b1, bool player_masks_current) {
    switch (state.phase) {
        case GamePhase::Kickoff: {
            const CollisionFlags barrier = state.kickoff_team == RED ? group::RED_KO : group::BLUE_KO;
            if (!player_masks_current) set_player_masks(state, PLAYER_CMASK | barrier);
            const Vec2 v = state.discs[0].vel;
            if (dot(v, v) > 0.0) state.phase = GamePhase::Playing;
            return std::nullopt;
        }
        case GamePhase::Playing: {
            if (!player_masks_current) set_player_masks(state, PLAYER_CMASK);
            for (const Goal& goal : state.goals) {
                if (!crossed(goal, b0, b1)) continue;
                add_goal(goal.team == RED ? state.blue_score : state.red_score);
                state.kickoff_team = goal.team;
                state.phase = GamePhase::GoalScored;
                state.goal_timer = GOAL_COUNTDOWN;
                return goal.team;
            }
            return std::nullopt;
        }
        case GamePhase::GoalScored:
            // The timer can be any value a caller stored; stay clear of INT64_MIN - 1.
            if (state.goal_timer > std::numeric_limits<std::int64_t>::min()) --state.goal_timer;
            if (state.goal_timer <= 0) reset_positions(state);
            return std::nullopt;
    }
    throw EngineFault("phase_step: the phase holds no known value");
}
