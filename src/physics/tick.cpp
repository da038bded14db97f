#include "tick.hpp"

#include <bit>
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

// Kicks disc k, if it is within reach of the kicker p (another disc), with
// the full impulse, and recoils the kicker; returns whether it did.
bool kick_if_in_reach(Disc& k, Disc& p) {
    const Vec2 d = k.pos - p.pos;
    const double d2 = dot(d, d);
    if (!(d2 > 0.0)) return false;
    if (d2 > squared_reach_bound(k.radius, p.radius)) return false;
    const double dist = std::sqrt(d2);
    if (!(dist - k.radius - p.radius < KICK_REACH)) return false;
    const Vec2 n = {d.x / dist, d.y / dist};
    k.vel.x = (p.kickStrength * n.x) * k.invMass + k.vel.x;
    k.vel.y = (p.kickStrength * n.y) * k.invMass + k.vel.y;
    p.vel.x = (n.x * (-p.kickback)) * p.invMass + p.vel.x;
    p.vel.y = (n.y * (-p.kickback)) * p.invMass + p.vel.y;
    return true;
}

// Kicks every kickable disc within reach of the kicker disc, each with
// the full impulse, and recoils the kicker once per disc hit.
bool kick_everything_in_reach(Disc* discs, const ContactPlan& plan, std::size_t kicker) {
    bool hit = false;
    for_each_bit(plan.kickable.data(), plan.disc_words, [&](std::size_t i) {
        if (i != kicker) hit |= kick_if_in_reach(discs[i], discs[kicker]);
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

// Whether any kickable disc other than the kicker passes the kick's
// squared-distance bound, which rules out every kick it fails. Written
// without branches on the places: which players stand near the ball is
// anyone's guess.
bool near_kicker(const Disc& p, const Disc& k) {
    const Vec2 d = k.pos - p.pos;
    const double d2 = dot(d, d);
    return (d2 > 0.0) & !(d2 > squared_reach_bound(k.radius, p.radius));
}

// The same when the ball is the only kickable disc, with the bound that
// PlayerTables derived for the kicker.
bool near_ball(const Disc& ball, const Disc& p, double bound) {
    const Vec2 d = ball.pos - p.pos;
    const double d2 = dot(d, d);
    return (d2 > 0.0) & !(d2 > bound);
}

// `kickable` is the plan's first word of kickable discs, which holds them
// all when there are at most 64 discs (as a rule the ball alone).
bool anything_near_kicker(const Disc* discs, const ContactPlan& plan, std::uint64_t kickable, std::size_t kicker) {
    const Disc& p = discs[kicker];
    bool near = false;
    if (plan.disc_words == 1) {
        for (std::uint64_t bits = kickable & ~(std::uint64_t{1} << kicker); bits != 0; bits &= bits - 1)
            near |= near_kicker(p, discs[std::countr_zero(bits)]);
        return near;
    }
    for_each_bit(plan.kickable.data(), plan.disc_words,
                 [&](std::size_t i) { near |= (i != kicker) & near_kicker(p, discs[i]); });
    return near;
}

}  // namespace

void PlayerTables::derive(const MatchState& state, const PlayerAction* actions) {
    const ContactPlan& plan = state.contact_plan;
    // A state built outside the batch may hold more players than the tables.
    ball_only = plan.disc_words == 1 && plan.kickable[0] == 1 && state.n_players <= MAX_PLAYERS;
    if (!ball_only) return;
    if (actions != nullptr) take_directions(actions, state.n_players);
    const double ball_radius = state.discs[0].radius;
    for (std::size_t j = 0; j < state.n_players; ++j) {
        const Disc& p = state.discs[state.first_player + j];
        kick_reach[j][0] = -1.0;
        kick_reach[j][1] = squared_reach_bound(ball_radius, p.radius);
        acceleration[j][0] = p.acceleration;
        acceleration[j][1] = p.kickingAcceleration;
        damping[j][0] = p.damping;
        damping[j][1] = p.kickingDamping;
    }
}

void PlayerTables::take_directions(const PlayerAction* actions, std::size_t n_players) {
    if (!ball_only) return;
    for (std::size_t j = 0; j < n_players; ++j) direction[j] = input_direction(actions[j]);
}

namespace {

void integrate_player(Disc& p, double damping) {
    p.pos = p.pos + p.vel;
    p.vel = p.vel * damping;
}

// The players' actions in slot order, then the integration (slot by slot
// where only the ball is kickable). The kick bookkeeping of a slot is worked
// in locals and stored once, without branches on the actions, which callers
// draw at random: a store through a byte pointer may alias anything, and
// would make every later field be loaded again. Kicks change only
// velocities, so whether a kickable disc is near a player can be told
// before the kicks of earlier slots. `ball_only` is that of the tables.
template <bool ball_only>
void act_and_integrate(MatchState& state, const PlayerAction* actions, const PlayerTables& tables) {
    Disc* discs = state.discs.data();
    const std::size_t first_player = state.first_player;
    Disc* players = discs + first_player;
    std::uint8_t* kick_flag = state.kick_flag.data();
    std::uint8_t* kick_held = state.kick_held.data();
    std::int64_t* kick_cooldown = state.kick_cooldown.data();
    std::int64_t* kick_budget = state.kick_budget.data();
    const KickRateLimit limit = state.kick_rate_limit;
    const std::size_t n_players = state.n_players;
    const std::uint64_t kickable = state.contact_plan.kickable[0];
    for (std::size_t j = 0; j < n_players; ++j) {
        const PlayerAction& action = actions[j];
        const bool pressed = action.kick > 0;
        // A held input re-arms only after a release; 2 counts as a fresh press.
        bool flag = pressed & ((action.kick == 2) | (kick_held[j] == 0) | (kick_flag[j] != 0));
        // Both steps move towards their bound, so they cannot overflow.
        std::int64_t cooldown = kick_cooldown[j];
        std::int64_t budget = kick_budget[j];
        cooldown -= cooldown > 0;
        budget += budget < limit.cap;
        const bool may_kick = flag & (cooldown <= 0) & (budget >= 0);
        const std::size_t slot_disc = first_player + j;
        if (ball_only ? near_ball(discs[0], players[j], tables.kick_reach[j][may_kick])
                      : may_kick && anything_near_kicker(discs, state.contact_plan, kickable, slot_disc)) [[unlikely]] {
            if (ball_only ? kick_if_in_reach(discs[0], players[j])
                          : kick_everything_in_reach(discs, state.contact_plan, slot_disc)) {
                flag = false;
                cooldown = limit.min;
                budget = saturating_sub(budget, limit.cost);
            }
        }
        kick_flag[j] = flag;
        kick_held[j] = pressed;
        kick_cooldown[j] = cooldown;
        kick_budget[j] = budget;

        Disc& p = players[j];
        const double a = ball_only ? tables.acceleration[j][flag] : flag ? p.kickingAcceleration : p.acceleration;
        const Vec2 u = ball_only ? tables.direction[j] : input_direction(action);
        p.vel.x = a * u.x + p.vel.x;
        p.vel.y = a * u.y + p.vel.y;
        if constexpr (ball_only) {
            // The later slots' kicks move only the ball and themselves, so
            // this player is done with and moves at once.
            integrate_player(p, tables.damping[j][flag]);
        }
    }
    if constexpr (!ball_only) {
        for (std::size_t j = 0; j < n_players; ++j) {
            Disc& p = players[j];
            integrate_player(p, kick_flag[j] != 0 ? p.kickingDamping : p.damping);
        }
    }
    // Obstacle discs are never integrated: only contacts move them.
    Disc& ball = discs[0];
    ball.pos = ball.pos + ball.vel;
    ball.vel = ball.vel * ball.damping;
}

// The tick itself, on a state that has been checked and whose plan is up to
// date.
std::optional<Team> advance(MatchState& state, const PlayerAction* actions, Sweep sweep, const PlayerTables& tables,
                            SweepAnchors* anchors = nullptr, bool player_masks_current = false) {
    // The goal test needs the ball's place before it moves.
    const Vec2 ball_before = state.discs[0].pos;
    if (tables.ball_only) {
        act_and_integrate<true>(state, actions, tables);
    } else {
        act_and_integrate<false>(state, actions, tables);
    }
    sweep_contacts(state, sweep, anchors);
    ++state.steps;
    return advance_phase(state, ball_before, state.discs[0].pos, player_masks_current);
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
    PlayerTables tables;
    tables.derive(state, actions);
    return advance(state, actions, sweep, tables);
}

TickSequence::TickSequence(MatchState& state, const PlayerAction* actions, std::size_t n_actions, Sweep sweep,
                           const char* operation, Actions kind)
    : state_(state), actions_(actions), sweep_(sweep), kind_(kind) {
    check_call(state, actions, n_actions, operation);
    refresh_contact_plan(state);
    // A buffer that may change is read before each tick, when it holds what
    // the caller means; it may not be filled yet.
    player_tables_.derive(state, kind == Actions::held ? actions : nullptr);
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
    if (masks_may_differ_ && refresh_contact_plan_for_players(state_)) {
        forget_quiet_discs(anchors_);
        player_tables_.derive(state_, kind_ == Actions::held ? actions_ : nullptr);
    }
    // A rewritten buffer may hold other inputs than the last tick's.
    if (kind_ == Actions::may_change) [[unlikely]]
        player_tables_.take_directions(actions_, state_.n_players);
    const GamePhase phase = state_.phase;
    const Team kickoff_team = state_.kickoff_team;
    // For the same reasons, once the masks cannot differ from those the last
    // tick wrote, this tick would write them again as they are.
    const bool masks_current = ticked_ && !masks_may_differ_;
    const std::optional<Team> goal = advance(state_, actions_, sweep_, player_tables_, &anchors_, masks_current);
    masks_may_differ_ = !ticked_ || phase != last_phase_ || kickoff_team != last_kickoff_team_ || state_.phase != phase;
    ticked_ = true;
    last_phase_ = phase;
    last_kickoff_team_ = kickoff_team;
    return goal;
}

TickRun tick_repeatedly(MatchState& state, const PlayerAction* actions, std::size_t n_actions, std::uint64_t max_ticks,
                        Sweep sweep) {
    TickSequence ticks(state, actions, n_actions, sweep, "tick_repeatedly", Actions::held);
    for (std::uint64_t t = 1; t <= max_ticks; ++t) {
        if (const std::optional<Team> goal = ticks.next()) return {t, goal};
    }
    return {max_ticks, std::nullopt};
}
