#include "tick.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "collision.hpp"
#include "collision_flags.hpp"
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

// Kicks every kickable disc within reach of the kicker disc, each with
// the full impulse, and recoils the kicker once per disc hit.
bool kick_everything_in_reach(MatchState& state, std::size_t kicker) {
    Disc& p = state.discs[kicker];
    bool hit = false;
    for (std::size_t i = 0; i < state.discs.size(); ++i) {
        if (i == kicker) continue;
        Disc& k = state.discs[i];
        if ((k.cGroup & group::KICK) == 0) continue;
        const Vec2 d = k.pos - p.pos;
        const double d2 = dot(d, d);
        if (!(d2 > 0.0)) continue;
        const double dist = std::sqrt(d2);
        if (!(dist - k.radius - p.radius < KICK_REACH)) continue;
        const Vec2 n = {d.x / dist, d.y / dist};
        k.vel.x = (p.kickStrength * n.x) * k.invMass + k.vel.x;
        k.vel.y = (p.kickStrength * n.y) * k.invMass + k.vel.y;
        p.vel.x = (n.x * (-p.kickback)) * p.invMass + p.vel.x;
        p.vel.y = (n.y * (-p.kickback)) * p.invMass + p.vel.y;
        hit = true;
    }
    return hit;
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

    // Only the direction of the input counts: (2, 0) moves like (1, 0).
    Disc& p = state.discs[slot_disc];
    const double a = state.kick_flag[j] ? p.kickingAcceleration : p.acceleration;
    const double dx = static_cast<double>(action.dx);
    const double dy = static_cast<double>(action.dy);
    const double q = dx * dx + dy * dy;
    Vec2 u = {0.0, 0.0};
    if (q > 0.0) {
        const double len = std::sqrt(q);
        u = {dx / len, dy / len};
    }
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

// One pass, no iteration: each response sees everything earlier responses
// of the same sweep wrote.
void resolve_contacts(MatchState& state) {
    const std::size_t n = state.discs.size();
    for (std::size_t i = 0; i < n; ++i) {
        Disc& a = state.discs[i];
        for (std::size_t k = i + 1; k < n; ++k) {
            Disc& b = state.discs[k];
            if (!interacts(a.cGroup, a.cMask, b.cGroup, b.cMask)) continue;
            disc_disc(a.pos, b.pos, a.vel, b.vel, a.radius, b.radius, a.invMass, b.invMass, a.bCoef,
                      b.bCoef);
        }
        // Walls never move an immovable disc; NaN is not immovable.
        if (a.invMass == 0.0) continue;
        for (const Plane& plane : state.planes) {
            if (!interacts(a.cGroup, a.cMask, plane.cGroup, plane.cMask)) continue;
            disc_plane(a.pos, plane.normal, a.vel, plane.dist, a.radius, a.bCoef, plane.bCoef);
        }
        for (const Segment& segment : state.segments) {
            if (!interacts(a.cGroup, a.cMask, segment.cGroup, segment.cMask)) continue;
            disc_segment(a.pos, a.vel, a.radius, a.bCoef, segment);
        }
    }
}

}  // namespace

std::optional<Team> tick(MatchState& state, const PlayerAction* actions, std::size_t n_actions) {
    require_consistent_state(state, "tick");
    if (n_actions < state.n_players || (actions == nullptr && state.n_players > 0)) {
        throw EngineFault("tick: " + std::to_string(n_actions) + " actions for " +
                          std::to_string(state.n_players) + " players");
    }
    for (std::size_t j = 0; j < state.n_players; ++j) apply_action(state, j, actions[j]);
    const Vec2 ball_before = state.discs[0].pos;
    integrate(state);
    resolve_contacts(state);
    ++state.steps;
    return phase_step(state, ball_before, state.discs[0].pos);
}
