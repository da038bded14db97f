#pragma once

// The complete state of one env. A plain value: copying a MatchState copies
// every sequence in it, so envs of a batch share nothing and can be stepped on
// different threads without locks.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "collision.hpp"
#include "collision_flags.hpp"
#include "contact_plan.hpp"
#include "vec2.hpp"

// A team is stored with the value of its collision group; 0 is no team.
using Team = std::uint64_t;
inline constexpr Team NO_TEAM = 0;
inline constexpr Team RED = group::RED;
inline constexpr Team BLUE = group::BLUE;

// Players per env, and the capacity of the per-env action buffer.
inline constexpr std::size_t MAX_PLAYERS = 32;

struct Disc {
    Vec2 pos;
    Vec2 vel;  // units per tick
    double radius;
    double invMass;  // 0: immovable by collisions and kicks
    double damping;  // velocity factor applied once per tick
    double bCoef;
    CollisionFlags cGroup;
    CollisionFlags cMask;
    // Player only (0 on the ball and the obstacle discs).
    double acceleration;
    double kickingAcceleration;
    double kickingDamping;
    double kickStrength;
    double kickback;
    Team team;
};

// A straight wall when curve == 0, otherwise a circular arc; the stadium
// build derives the arc data once so the tick computes no angle.
struct Segment : SegmentShape {
    CollisionFlags cGroup;
    CollisionFlags cMask;
};

// The line p·n̂ = dist with n̂ = normal / |normal|; normal is stored as read.
struct Plane {
    Vec2 normal;
    double dist;
    double bCoef;
    CollisionFlags cGroup;
    CollisionFlags cMask;
};

// A goal line; team is the side that defends it, and so concedes through it.
struct Goal {
    Vec2 p0;
    Vec2 p1;
    Team team;
};

struct KickRateLimit {
    std::int64_t min = 2;   // cooldown set by a kick
    std::int64_t cost = 0;  // taken from the budget by a kick
    std::int64_t cap = 1;   // the budget grows by one per tick while below it
};

enum class GamePhase : std::uint8_t { Kickoff = 0, Playing = 1, GoalScored = 2 };

struct MatchState {
    // Ball at 0, then the obstacle discs, then red players, then blue players.
    std::vector<Disc> discs;
    std::vector<Segment> segments;
    std::vector<Plane> planes;
    std::vector<Goal> goals;
    // One entry per player slot.
    std::vector<std::uint8_t> kick_flag;  // kick armed
    std::vector<std::uint8_t> kick_held;  // kick input was above 0 on the previous tick
    std::vector<std::int64_t> kick_cooldown;
    std::vector<std::int64_t> kick_budget;
    std::vector<Vec2> red_spawn_points;
    std::vector<Vec2> blue_spawn_points;
    std::uint64_t n_players = 0;
    std::uint64_t first_player = 1;  // index in discs of player slot 0
    std::uint64_t steps = 0;
    KickRateLimit kick_rate_limit;
    double spawn_distance = 277.5;
    Team kickoff_team = RED;
    std::int64_t goal_timer = 0;
    std::uint32_t red_score = 0;
    std::uint32_t blue_score = 0;
    GamePhase phase = GamePhase::Kickoff;
    // Derived from the fields above for the tick (see contact_plan.hpp); not
    // part of the match itself.
    ContactPlan contact_plan;
};

// One player's input for one tick.
struct PlayerAction {
    std::int64_t dx;
    std::int64_t dy;
    std::int64_t kick;  // <= 0 released; 1 or > 2 held; 2 held and freshly pressed
};
