#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "contact_plan.hpp"
#include "engine_fault.hpp"
#include "game_flow.hpp"
#include "stadium.hpp"
#include "stadium_reader.hpp"

namespace {

// The engine's y axis points the other way from the file's.
Vec2 engine_frame(RawPair p) { return {p.x, -p.y}; }
Vec2 engine_frame(const RawVertex& v) { return {v.x, -v.y}; }

// An object's own keys over those of its trait. A group list of the object
// replaces the trait's list as a whole.
RawProps merged(const RawStadium& stadium, const std::optional<std::string>& trait, const RawProps& own) {
    RawProps m;
    if (trait) {
        const auto found = stadium.traits.find(*trait);
        if (found != stadium.traits.end()) m = found->second;
    }
    if (own.bCoef) m.bCoef = own.bCoef;
    if (own.cGroup) m.cGroup = own.cGroup;
    if (own.cMask) m.cMask = own.cMask;
    if (own.radius) m.radius = own.radius;
    if (own.invMass) m.invMass = own.invMass;
    if (own.damping) m.damping = own.damping;
    if (own.bias) m.bias = own.bias;
    if (own.curve) m.curve = own.curve;
    return m;
}

// "disc", an optional "+", then decimal digits (leading zeros allowed) whose
// value fits in 64 bits.
std::optional<std::uint64_t> disc_index(std::string_view ref) {
    constexpr std::string_view PREFIX = "disc";
    if (ref.substr(0, PREFIX.size()) != PREFIX) return std::nullopt;
    std::string_view digits = ref.substr(PREFIX.size());
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t n = 0;
    for (const char ch : digits) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(ch - '0');
        if (n > (MAX - digit) / 10) return std::nullopt;
        n = n * 10 + digit;
    }
    return n;
}

// The ball keeps only its size, mass, damping and bounce from the file: its
// place, its groups and its mask are fixed.
Disc ball_disc(const RawProps& p) {
    Disc d{};
    d.radius = p.radius.value_or(10.0);
    d.invMass = p.invMass.value_or(1.0);
    d.damping = p.damping.value_or(0.99);
    d.bCoef = p.bCoef.value_or(0.5);
    d.cGroup = BALL_CGROUP;
    d.cMask = BALL_CMASK;
    return d;
}

Disc obstacle_disc(const RawDisc& raw, const RawProps& p) {
    Disc d{};
    if (raw.pos) d.pos = engine_frame(*raw.pos);
    d.radius = p.radius.value_or(10.0);
    d.invMass = p.invMass.value_or(1.0);
    d.damping = p.damping.value_or(0.99);
    d.bCoef = p.bCoef.value_or(0.5);
    d.cGroup = p.cGroup.value_or(DISC_DEFAULT_CGROUP);
    d.cMask = p.cMask.value_or(DISC_DEFAULT_CMASK);
    return d;
}

// A player's groups are its team and its mask is fixed; the kickoff reset
// places it.
Disc player_disc(const RawPlayerPhysics& p, Team team) {
    Disc d{};
    d.radius = p.radius.value_or(15.0);
    d.invMass = p.invMass.value_or(0.5);
    d.damping = p.damping.value_or(0.96);
    d.bCoef = p.bCoef.value_or(0.5);
    d.cGroup = team;
    d.cMask = PLAYER_CMASK;
    d.acceleration = p.acceleration.value_or(0.1);
    d.kickingAcceleration = p.kickingAcceleration.value_or(0.07);
    d.kickingDamping = p.kickingDamping.value_or(0.96);
    d.kickStrength = p.kickStrength.value_or(5.0);
    d.kickback = p.kickback.value_or(0.0);
    d.team = team;
    return d;
}

// -pi/180: degrees to radians, with the sign turned for the reversed y axis.
constexpr double NEG_RADIANS_PER_DEGREE = -0.017453292519943295;
// Arcs of 9.99 degrees or less, or of 340 or more, are built straight.
constexpr double MIN_ARC = 0.17435839227423353;
constexpr double MAX_ARC = 5.934119456780721;

// a and b are the ends given by "v0" and "v1", in the engine frame.
Segment compile_segment(Vec2 a, Vec2 b, const RawProps& p) {
    Segment seg{};
    const double given_bias = p.bias.value_or(0.0);
    const double s = p.curve ? *p.curve * NEG_RADIANS_PER_DEGREE : -0.0;
    // Arcs are kept turning one way: a positive curve swaps the ends, and the
    // bias, which is measured along the normal from v0 to v1, flips with the
    // frame unless the swap already turned the normal around.
    double angle;
    if (s < 0.0) {
        seg.v0 = b;
        seg.v1 = a;
        angle = -s;
        seg.bias = given_bias;
    } else {
        seg.v0 = a;
        seg.v1 = b;
        angle = s;
        seg.bias = -given_bias;
    }
    if (MIN_ARC < angle && angle < MAX_ARC) {
        // The chord's half h, seen from the centre, spans half the arc: the
        // centre sits on the chord's perpendicular bisector at |h| / tan(a/2)
        // from its middle m.
        seg.curve = 1.0 / std::tan(angle * 0.5);
        const Vec2 h = (seg.v1 - seg.v0) * 0.5;
        const Vec2 m = seg.v0 + h;
        seg.c = {m.x - seg.curve * h.y, m.y + seg.curve * h.x};
        const double dx = seg.v0.x - seg.c.x;
        const double dy = seg.v0.y - seg.c.y;
        seg.cr = std::sqrt(dx * dx + dy * dy);
        seg.t0 = {seg.c.y - seg.v0.y, seg.v0.x - seg.c.x};
        seg.t1 = {seg.v1.y - seg.c.y, seg.c.x - seg.v1.x};
        // Past 180 degrees the centre is on the other side of the chord, and
        // the arc covers the outside of the two boundary lines.
        if (seg.curve <= 0.0) {
            seg.t0 = -seg.t0;
            seg.t1 = -seg.t1;
        }
    }
    seg.bCoef = p.bCoef.value_or(1.0);
    seg.cGroup = p.cGroup.value_or(WALL_DEFAULT_CGROUP);
    seg.cMask = p.cMask.value_or(WALL_DEFAULT_CMASK);
    return seg;
}

Plane compile_plane(const RawPlane& raw, const RawProps& p) {
    Plane plane{};
    plane.normal = engine_frame(raw.normal);
    plane.dist = raw.dist;
    plane.bCoef = p.bCoef.value_or(1.0);
    plane.cGroup = p.cGroup.value_or(WALL_DEFAULT_CGROUP);
    plane.cMask = p.cMask.value_or(WALL_DEFAULT_CMASK);
    return plane;
}

Team goal_team(const std::string& team) {
    if (team == "red") return RED;
    if (team == "blue") return BLUE;
    return NO_TEAM;
}

std::vector<Vec2> spawn_points(const std::vector<RawPair>& raw) {
    std::vector<Vec2> points;
    points.reserve(raw.size());
    for (const RawPair& p : raw) points.push_back(engine_frame(p));
    return points;
}

}  // namespace

bool build_match_state(std::string_view text, std::uint64_t n_red, std::uint64_t n_blue, MatchState& out,
                       std::string& error) {
    if (n_red > MAX_PLAYERS || n_blue > MAX_PLAYERS - n_red || n_red + n_blue == 0) {
        throw EngineFault("build_match_state: player counts " + std::to_string(n_red) + " + " + std::to_string(n_blue) +
                          " outside 1 to 32");
    }

    RawStadium raw;
    std::string description;
    if (!read_stadium(text, raw, description)) {
        error = "bad .zsm JSON: " + description;
        return false;
    }

    RawProps ball_props;
    std::optional<std::uint64_t> ball_from_disc;
    if (const auto* ref = std::get_if<std::string>(&raw.ballPhysics)) {
        ball_from_disc = disc_index(*ref);
        if (!ball_from_disc) {
            error = "ballPhysics ref " + quoted_for_message(*ref) + " is not 'discN'";
            return false;
        }
        if (*ball_from_disc >= raw.discs.size()) {
            error = "ballPhysics " + *ref + " references a missing disc";
            return false;
        }
        const RawDisc& source = raw.discs[*ball_from_disc];
        ball_props = merged(raw, source.trait, source.props);
    } else if (const auto* props = std::get_if<RawProps>(&raw.ballPhysics)) {
        ball_props = *props;
    }

    MatchState m;
    const std::uint64_t n_players = n_red + n_blue;
    m.discs.reserve(1 + raw.discs.size() + n_players);
    m.discs.push_back(ball_disc(ball_props));
    for (std::size_t i = 0; i < raw.discs.size(); ++i) {
        if (ball_from_disc && *ball_from_disc == i) continue;
        const RawDisc& d = raw.discs[i];
        m.discs.push_back(obstacle_disc(d, merged(raw, d.trait, d.props)));
    }
    m.first_player = m.discs.size();
    for (std::uint64_t j = 0; j < n_players; ++j) {
        m.discs.push_back(player_disc(raw.playerPhysics, j < n_red ? RED : BLUE));
    }

    m.segments.reserve(raw.segments.size());
    for (const RawSegment& s : raw.segments) {
        if (s.v0 >= raw.vertexes.size() || s.v1 >= raw.vertexes.size()) {
            error = "segment references missing vertex " + std::to_string(s.v0) + " / " + std::to_string(s.v1);
            return false;
        }
        m.segments.push_back(compile_segment(engine_frame(raw.vertexes[s.v0]), engine_frame(raw.vertexes[s.v1]),
                                             merged(raw, s.trait, s.props)));
    }

    m.planes.reserve(raw.planes.size());
    for (const RawPlane& p : raw.planes) {
        m.planes.push_back(compile_plane(p, merged(raw, p.trait, p.props)));
    }

    m.goals.reserve(raw.goals.size());
    for (const RawGoal& g : raw.goals) {
        m.goals.push_back({engine_frame(g.p0), engine_frame(g.p1), goal_team(g.team)});
    }

    m.red_spawn_points = spawn_points(raw.redSpawnPoints);
    m.blue_spawn_points = spawn_points(raw.blueSpawnPoints);
    m.spawn_distance = raw.spawnDistance.value_or(277.5);
    m.n_players = n_players;
    m.kick_flag.assign(n_players, 0);
    m.kick_held.assign(n_players, 0);
    m.kick_cooldown.assign(n_players, 0);
    m.kick_budget.assign(n_players, 0);
    m.steps = 0;
    m.kick_rate_limit = KickRateLimit{};
    m.kickoff_team = RED;
    m.goal_timer = 0;
    m.red_score = 0;
    m.blue_score = 0;
    m.phase = GamePhase::Kickoff;

    reset_positions(m);
    // Derived here, so that the batch's copies of this state carry it and
    // their ticks never allocate one.
    refresh_contact_plan(m);
    out = std::move(m);
    return true;
}
