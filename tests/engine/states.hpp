#pragma once

// Hand-made MatchStates for the engine tests: records built the way the
// stadium compiler builds them, coordinates already in the engine frame.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "collision_flags.hpp"
#include "match_state.hpp"
#include "split_mix64.hpp"

namespace states {

using ::SplitMix64;

inline Disc ball_at(Vec2 pos, Vec2 vel = {0, 0}) {
    return {pos, vel, 10, 1, 0.99, 0.5, BALL_CGROUP, BALL_CMASK, 0, 0, 0, 0, 0, NO_TEAM};
}

inline Disc obstacle(Vec2 pos, double radius, double inv_mass, CollisionFlags cgroup = DISC_DEFAULT_CGROUP,
                     CollisionFlags cmask = DISC_DEFAULT_CMASK) {
    return {pos, {0, 0}, radius, inv_mass, 0.99, 0.5, cgroup, cmask, 0, 0, 0, 0, 0, NO_TEAM};
}

// The default player physics of a stadium that gives none.
inline Disc player(Team team, Vec2 pos = {0, 0}) {
    return {pos, {0, 0}, 15, 0.5, 0.96, 0.5, team, PLAYER_CMASK, 0.1, 0.07, 0.96, 5, 0, team};
}

inline Segment straight(Vec2 v0, Vec2 v1, double bias = 0, double bcoef = 1,
                        CollisionFlags cgroup = WALL_DEFAULT_CGROUP, CollisionFlags cmask = WALL_DEFAULT_CMASK) {
    Segment s{};
    s.v0 = v0;
    s.v1 = v1;
    s.bias = bias;
    s.bCoef = bcoef;
    s.cGroup = cgroup;
    s.cMask = cmask;
    return s;
}

// An arc from a to b of `degrees` (engine-frame points), derived as the
// stadium compiler derives it: a positive angle swaps the ends and keeps the
// bias, anything else keeps the ends and reverses the bias.
inline Segment arc(Vec2 a, Vec2 b, double degrees, double bias = 0, double bcoef = 1,
                   CollisionFlags cgroup = WALL_DEFAULT_CGROUP, CollisionFlags cmask = WALL_DEFAULT_CMASK) {
    Segment s = straight(a, b, -bias, bcoef, cgroup, cmask);
    const double signed_angle = degrees * -0.017453292519943295;
    double angle = signed_angle;
    if (signed_angle < 0) {
        s.v0 = b;
        s.v1 = a;
        s.bias = bias;
        angle = -signed_angle;
    }
    if (!(0.17435839227423353 < angle && angle < 5.934119456780721)) return s;
    s.curve = 1 / std::tan(angle * 0.5);
    const Vec2 h = (s.v1 - s.v0) * 0.5;
    const Vec2 m = s.v0 + h;
    s.c = {m.x - s.curve * h.y, m.y + s.curve * h.x};
    s.cr = std::sqrt((s.v0.x - s.c.x) * (s.v0.x - s.c.x) + (s.v0.y - s.c.y) * (s.v0.y - s.c.y));
    s.t0 = {s.c.y - s.v0.y, s.v0.x - s.c.x};
    s.t1 = {s.v1.y - s.c.y, s.c.x - s.v1.x};
    if (s.curve <= 0) {
        s.t0 = -s.t0;
        s.t1 = -s.t1;
    }
    return s;
}

inline Plane plane(Vec2 normal, double dist, double bcoef = 1, CollisionFlags cgroup = WALL_DEFAULT_CGROUP,
                   CollisionFlags cmask = WALL_DEFAULT_CMASK) {
    return {normal, dist, bcoef, cgroup, cmask};
}

// A consistent state from its discs: ball, obstacles, then players (red
// before blue). The kick sequences are sized, everything else is as built.
inline MatchState make(Disc ball, std::vector<Disc> obstacles, std::vector<Disc> players) {
    MatchState s;
    s.discs.push_back(ball);
    s.discs.insert(s.discs.end(), obstacles.begin(), obstacles.end());
    s.first_player = s.discs.size();
    s.discs.insert(s.discs.end(), players.begin(), players.end());
    s.n_players = players.size();
    s.kick_flag.assign(players.size(), 0);
    s.kick_held.assign(players.size(), 0);
    s.kick_cooldown.assign(players.size(), 0);
    s.kick_budget.assign(players.size(), 0);
    return s;
}

inline std::int64_t sign(double v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

inline Disc& slot(MatchState& s, std::size_t j) { return s.discs[s.first_player + j]; }

// FNV-1a over the raw bytes of every field, one field at a time, so padding
// never enters the hash.
struct Fnv {
    std::uint64_t h = 0xcbf29ce484222325ull;
    template <class T>
    void add(const T& v) {
        static_assert(std::is_arithmetic_v<T>);
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &v, sizeof(T));
        for (unsigned char b : bytes) h = (h ^ b) * 0x100000001b3ull;
    }
    void add(Vec2 v) {
        add(v.x);
        add(v.y);
    }
    template <class T>
    void add(const std::vector<T>& items) {
        add(static_cast<std::uint64_t>(items.size()));
        for (const T& item : items) add_record(item);
    }
    template <class T>
    void add_record(const T& v) {
        add(v);
    }
    void add_record(const Disc& d) {
        add(d.pos), add(d.vel), add(d.radius), add(d.invMass), add(d.damping), add(d.bCoef);
        add(d.cGroup), add(d.cMask), add(d.acceleration), add(d.kickingAcceleration);
        add(d.kickingDamping), add(d.kickStrength), add(d.kickback), add(d.team);
    }
    void add_record(const Segment& s) {
        add(s.v0), add(s.v1), add(s.c), add(s.t0), add(s.t1), add(s.curve), add(s.cr);
        add(s.bias), add(s.bCoef), add(s.cGroup), add(s.cMask);
    }
    void add_record(const Plane& p) { add(p.normal), add(p.dist), add(p.bCoef), add(p.cGroup), add(p.cMask); }
    void add_record(const Goal& g) { add(g.p0), add(g.p1), add(g.team); }
};

inline std::uint64_t hash(const MatchState& s) {
    Fnv f;
    f.add(s.discs), f.add(s.segments), f.add(s.planes), f.add(s.goals);
    f.add(s.kick_flag), f.add(s.kick_held), f.add(s.kick_cooldown), f.add(s.kick_budget);
    f.add(s.red_spawn_points), f.add(s.blue_spawn_points);
    f.add(s.n_players), f.add(s.first_player), f.add(s.steps);
    f.add(s.kick_rate_limit.min), f.add(s.kick_rate_limit.cost), f.add(s.kick_rate_limit.cap);
    f.add(s.spawn_distance), f.add(s.kickoff_team), f.add(s.goal_timer);
    f.add(s.red_score), f.add(s.blue_score), f.add(static_cast<std::uint8_t>(s.phase));
    return f.h;
}

}  // namespace states
