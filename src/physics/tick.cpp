#include "tick.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "bit_words.hpp"
#include "collision.hpp"
#include "collision_flags.hpp"
#include "contact_plan.hpp"
#include "contact_sweep.hpp"
#include "game_flow.hpp"
#include "state_contract.hpp"

namespace {

// Largest gap between two disc surfaces (exclusive) at which a kick still hits.
constexpr double KICK_REACH = 4.0;

// The rate-limit fields are arbitrary int64 values set from Python; a budget
// that would run past either end stops there instead of wrapping.
std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (!__builtin_sub_overflow(a, b, &r)) return r;
    return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// A square that d2 = |d|^2 exceeds only when the kick certainly misses:
// dist - ra - rb < KICK_REACH needs dist below |ra| + |rb| + KICK_REACH, here
// widened by a relative 2^-20, far above the rounding of the square root
// and of the two subtractions. A NaN radius gives a NaN bound, and the exact
// test decides. Most kicks miss, and the square root is what they would
// wait for.
double squared_reach_bound(double ra, double rb) {
    const double t = (std::fabs(ra) + std::fabs(rb) + KICK_REACH) * (1.0 + 0x1p-20);
    return t * t;
}

// Kicks every kickable disc within reach of the kicker disc, each with
// the full impulse, and recoils the kicker once per disc hit.
bool kick_everything_in_reach(MatchState& state, std::size_t kicker) {
    Disc* discs = state.discs.data();
    Disc& p = discs[kicker];
    bool hit = false;
    for_each_bit(state.contact_plan.kickable.data(), state.contact_plan.disc_words, [&](std::size_t i) {
        if (i == kicker) return;
        Disc& k = discs[i];
        const Vec2 d = k.pos - p.pos;
        const double d2 = dot(d, d);
        if (!(d2 > 0.0)) return;
        if (d2 > squared_reach_bound(k.radius, p.radius)) return;
        const double dist = std::sqrt(d2);
        if (!(dist - k.radius - p.radius < KICK_REACH)) return;
        const Vec2 n = {d.x / dist, d.y / dist};
        k.vel.x = (p.kickStrength * n.x) * k.invMass + k.vel.x;
        k.vel.y = (p.kickStrength * n.y) * k.invMass + k.vel.y;
        p.vel.x = (n.x * (-p.kickback)) * p.invMass + p.vel.x;
        p.vel.y = (n.y * (-p.kickback)) * p.invMass + p.vel.y;
        hit = true;
    });
    return hit;
}

// Only the direction of the input counts: (2, 0) moves like (1, 0).
Vec2 direction_of(std::int64_t ix, std::int64_t iy) {
    const double dx = static_cast<double>(ix);
    const double dy = static_cast<double>(iy);
    const double q = dx * dx + dy * dy;
    if (!(q > 0.0)) return {0.0, 0.0};
    const double len = std::sqrt(q);
    return {dx / len, dy / len};
}

// The nine inputs with both components in {-1, 0, 1}, which is what callers
// send, formed once by the same arithmetic: a square root and two divisions
// fewer per player and tick.
struct SmallInputDirections {
    Vec2 u[3][3];  // [dy + 1][dx + 1]
};

const SmallInputDirections SMALL_INPUT_DIRECTIONS = [] {
    SmallInputDirections table{};
    for (std::int64_t dy = -1; dy <= 1; ++dy) {
        for (std::int64_t dx = -1; dx <= 1; ++dx) table.u[dy + 1][dx + 1] = direction_of(dx, dy);
    }
    return table;
}();

Vec2 input_direction(const PlayerAction& action) {
    if (action.dx >= -1 && action.dx <= 1 && action.dy >= -1 && action.dy <= 1)
        return SMALL_INPUT_DIRECTIONS.u[action.dy + 1][action.dx + 1];
    return direction_of(action.dx, action.dy);
}

void apply_action(MatchState& state, std::size_t j, const PlayerAction& action) {
    const std::size_t slot_disc = state.first_player + j;
    if (action.kick <= 0) {
        state.kick_flag[j] = 0;
    } else if (action.kick == 2 || !state.kick_held[j]) {
        // A held input re-arms only after a release; 2 counts as a fresh press.
        state.kick_flag[j] = 1;
    }
    state.kick_held[j] = action.kick > 0;
    // Both steps move towards their bound, so they cannot overflow.
    if (state.kick_cooldown[j] > 0) --state.kick_cooldown[j];
    if (state.kick_budget[j] < state.kick_rate_limit.cap) ++state.kick_budget[j];

    if (state.kick_flag[j] && state.kick_cooldown[j] <= 0 && state.kick_budget[j] >= 0 &&
        kick_everything_in_reach(state, slot_disc)) {
        state.kick_flag[j] = 0;
        state.kick_cooldown[j] = state.kick_rate_limit.min;
        state.kick_budget[j] = saturating_sub(state.kick_budget[j], state.kick_rate_limit.cost);
    }

    Disc& p = state.discs[slot_disc];
    const double a = state.kick_flag[j] ? p.kickingAcceleration : p.acceleration;
    const Vec2 u = input_direction(action);
    p.vel.x = a * u.x + p.vel.x;
    p.vel.y = a * u.y + p.vel.y;
}

void integrate(MatchState& state) {
    for (std::size_t j = 0; j < state.n_players; ++j) {
        Disc& p = state.discs[state.first_player + j];
        p.pos = p.pos + p.vel;
        p.vel = p.vel * (state.kick_flag[j] ? p.kickingDamping : p.damping);
    }
    // Obstacle discs are never integrated: only contacts move them.
    Disc& ball = state.discs[0];
    ball.pos = ball.pos + ball.vel;
    ball.vel = ball.vel * ball.damping;
}

// The tick itself, on a state that has been checked and whose plan is up to
// date.
std::optional<Team> advance(MatchState& state, const PlayerAction* actions, Sweep sweep,
                            SweepAnchors* anchors = nullptr) {
    for (std::size_t j = 0; j < state.n_players; ++j) apply_action(state, j, actions[j]);
    const Vec2 ball_before = state.discs[0].pos;
    integrate(state);
    sweep_contacts(state, sweep, anchors);
    ++state.steps;
    return advance_phase(state, ball_before, state.discs[0].pos);
}

void check_call(const MatchState& state, const PlayerAction* actions, std::size_t n_actions, const char* operation) {
    require_consistent_state(state, operation);
    if (n_actions < state.n_players || (actions == nullptr && state.n_players > 0)) {
        throw EngineFault(std::string(operation) + ": " + std::to_string(n_actions) + " actions for " +
                          std::to_string(state.n_players) + " players");
    }
}

}  // namespace

std::optional<Team> tick(MatchState& state, const PlayerAction* actions, std::size_t n_actions, Sweep sweep) {
    check_call(state, actions, n_actions, "tick");
    refresh_contact_plan(state);
    return advance(state, actions, sweep);
}

TickSequence::TickSequence(MatchState& state, const PlayerAction* actions, std::size_t n_actions, Sweep sweep,
                           const char* operation)
    : state_(state), actions_(actions), sweep_(sweep) {
    check_call(state, actions, n_actions, operation);
    refresh_contact_plan(state);
}

std::optional<Team> TickSequence::next() {
    // Between these ticks nothing but the game flow writes to the state, and
    // of what the plan depends on it writes only player masks. It writes them
    // on every tick, but what it writes follows from the phase and the
    // kicking-off team that the tick starts with, and from whether the tick
    // resets the positions, which changes the phase. So they can differ from
    // the plan's only after the first tick (which may overwrite masks set
    // from outside) and after a tick that started in another phase, or for
    // another team, than the one before it, or changed the phase.
    if (masks_may_differ_) refresh_contact_plan_for_players(state_);
    const GamePhase phase = state_.phase;
    const Team kickoff_team = state_.kickoff_team;
    const std::optional<Team> goal = advance(state_, actions_, sweep_, &anchors_);
    masks_may_differ_ = !ticked_ || phase != last_phase_ || kickoff_team != last_kickoff_team_ || state_.phase != phase;
    ticked_ = true;
    last_phase_ = phase;
    last_kickoff_team_ = kickoff_team;
    return goal;
}

TickRun tick_repeatedly(MatchState& state, const PlayerAction* actions, std::size_t n_actions, std::uint64_t max_ticks,
                        Sweep sweep) {
    TickSequence ticks(state, actions, n_actions, sweep, "tick_repeatedly");
    for (std::uint64_t t = 1; t <= max_ticks; ++t) {
        if (const std::optional<Team> goal = ticks.next()) return {t, goal};
    }
    return {max_ticks, std::nullopt};
}
