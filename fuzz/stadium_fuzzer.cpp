// Feeds arbitrary bytes to the stadium build, the one place where untrusted
// text becomes engine data. A text either fails with one of the reader's
// messages and leaves the output alone, or gives a state at kickoff that the
// tick, the predictor and the resets can run on. Anything else (a crash, a
// sanitizer report, an unknown message, a broken invariant) stops the run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "game_flow.hpp"
#include "predict.hpp"
#include "stadium.hpp"
#include "stadium_reader.hpp"
#include "state_contract.hpp"
#include "tick.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "stadium fuzzer: %s%s%.*s\n", what, detail.empty() ? "" : ": ",
                 static_cast<int>(detail.size() > 500 ? 500 : detail.size()), detail.data());
    std::abort();
}

#define FUZZ_CHECK(cond)                   \
    do {                                   \
        if (!(cond)) fail("check " #cond); \
    } while (0)

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The four kinds of failure the reader and the build can report.
bool known_error(std::string_view e) {
    if (starts_with(e, "bad .zsm JSON: ")) return e.size() > std::string_view("bad .zsm JSON: ").size();
    if (starts_with(e, "ballPhysics ref \"")) return ends_with(e, "\" is not 'discN'");
    if (starts_with(e, "ballPhysics disc")) return ends_with(e, " references a missing disc");
    if (starts_with(e, "segment references missing vertex ")) {
        // Two decimal indices separated by " / ".
        const std::string_view rest = e.substr(std::string_view("segment references missing vertex ").size());
        const std::size_t slash = rest.find(" / ");
        if (slash == std::string_view::npos || slash == 0 || slash + 3 == rest.size()) return false;
        for (std::size_t i = 0; i < rest.size(); ++i) {
            if (i >= slash && i < slash + 3) continue;
            if (rest[i] < '0' || rest[i] > '9') return false;
        }
        return true;
    }
    return false;
}

// Messages reach Python as str, so they must be well-formed UTF-8.
bool well_formed_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80                ? 1
                              : b >= 0xC2 && b < 0xE0 ? 2
                              : b >= 0xE0 && b < 0xF0 ? 3
                              : b >= 0xF0 && b < 0xF5 ? 4
                                                      : 0;
        if (n == 0 || i + n > s.size()) return false;
        std::uint32_t code = n == 1 ? b : b & (0x7Fu >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            code = (code << 6) | (c & 0x3Fu);
        }
        constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
        i += n;
    }
    return true;
}

// Every field of a state as bytes, so that two states compare bit for bit
// (NaN equal to itself, 0.0 different from -0.0).
template <typename T>
void append(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
void append_all(std::string& out, const std::vector<T>& items) {
    append(out, items.size());
    for (const T& item : items) append(out, item);
}

void append_disc(std::string& out, const Disc& d) {
    for (double v : {d.pos.x, d.pos.y, d.vel.x, d.vel.y, d.radius, d.invMass, d.damping, d.bCoef, d.acceleration,
                     d.kickingAcceleration, d.kickingDamping, d.kickStrength, d.kickback})
        append(out, v);
    append(out, d.cGroup);
    append(out, d.cMask);
    append(out, d.team);
}

std::string geometry_bytes(const MatchState& s) {
    std::string out;
    for (const Segment& g : s.segments) {
        for (double v : {g.v0.x, g.v0.y, g.v1.x, g.v1.y, g.c.x, g.c.y, g.t0.x, g.t0.y, g.t1.x, g.t1.y, g.curve, g.cr,
                         g.bias, g.bCoef})
            append(out, v);
        append(out, g.cGroup);
        append(out, g.cMask);
    }
    for (const Plane& p : s.planes) {
        for (double v : {p.normal.x, p.normal.y, p.dist, p.bCoef}) append(out, v);
        append(out, p.cGroup);
        append(out, p.cMask);
    }
    for (const Goal& g : s.goals) {
        for (double v : {g.p0.x, g.p0.y, g.p1.x, g.p1.y}) append(out, v);
        append(out, g.team);
    }
    for (std::uint64_t i = 0; i < s.first_player; ++i) append_disc(out, s.discs[i]);
    append(out, s.spawn_distance);
    append_all(out, s.red_spawn_points);
    append_all(out, s.blue_spawn_points);
    return out;
}

std::string state_bytes(const MatchState& s) {
    std::string out = geometry_bytes(s);
    for (const Disc& d : s.discs) append_disc(out, d);
    append_all(out, s.kick_flag);
    append_all(out, s.kick_held);
    append_all(out, s.kick_cooldown);
    append_all(out, s.kick_budget);
    for (std::uint64_t v : {s.n_players, s.first_player, s.steps, s.kickoff_team}) append(out, v);
    for (std::int64_t v : {s.kick_rate_limit.min, s.kick_rate_limit.cost, s.kick_rate_limit.cap, s.goal_timer})
        append(out, v);
    append(out, s.red_score);
    append(out, s.blue_score);
    append(out, s.phase);
    return out;
}

bool zero(Vec2 v) { return v.x == 0.0 && v.y == 0.0; }

// What the build promises about a state it returns, checked against the
// records that the reader produced from the same text.
void check_built(const MatchState& s, const RawStadium& raw, std::uint64_t n_red, std::uint64_t n_blue) {
    require_consistent_state(s, "fuzz");
    const bool ball_from_disc = std::holds_alternative<std::string>(raw.ballPhysics);
    FUZZ_CHECK(s.n_players == n_red + n_blue);
    FUZZ_CHECK(s.first_player == 1 + raw.discs.size() - (ball_from_disc ? 1 : 0));
    FUZZ_CHECK(s.segments.size() == raw.segments.size());
    FUZZ_CHECK(s.planes.size() == raw.planes.size());
    FUZZ_CHECK(s.goals.size() == raw.goals.size());
    FUZZ_CHECK(s.red_spawn_points.size() == raw.redSpawnPoints.size());
    FUZZ_CHECK(s.blue_spawn_points.size() == raw.blueSpawnPoints.size());

    const Disc& ball = s.discs[0];
    FUZZ_CHECK(zero(ball.pos) && zero(ball.vel));
    FUZZ_CHECK(ball.cGroup == BALL_CGROUP && ball.cMask == BALL_CMASK && ball.team == NO_TEAM);
    for (std::uint64_t i = 0; i < s.first_player; ++i) {
        const Disc& d = s.discs[i];
        FUZZ_CHECK(zero(d.vel) && d.team == NO_TEAM);
        FUZZ_CHECK(d.acceleration == 0.0 && d.kickingAcceleration == 0.0 && d.kickingDamping == 0.0 &&
                   d.kickStrength == 0.0 && d.kickback == 0.0);
    }
    std::uint64_t red_placed = 0;
    std::uint64_t blue_placed = 0;
    for (std::uint64_t j = 0; j < s.n_players; ++j) {
        const Disc& p = s.discs[s.first_player + j];
        const Team team = j < n_red ? RED : BLUE;
        FUZZ_CHECK(p.team == team && p.cGroup == team && p.cMask == PLAYER_CMASK && zero(p.vel));
        const std::vector<Vec2>& spawns = team == RED ? s.red_spawn_points : s.blue_spawn_points;
        const std::uint64_t k = team == RED ? red_placed++ : blue_placed++;
        if (k < spawns.size()) {
            FUZZ_CHECK(std::memcmp(&p.pos, &spawns[k], sizeof(Vec2)) == 0);
        } else {
            FUZZ_CHECK(p.pos.x == (team == RED ? -s.spawn_distance : s.spawn_distance) || p.pos.x != p.pos.x);
        }
        FUZZ_CHECK(!s.kick_flag[j] && !s.kick_held[j] && s.kick_cooldown[j] == 0 && s.kick_budget[j] == 0);
    }
    for (const Segment& g : s.segments) {
        // Straight unless the build made an arc, and an arc has its circle.
        if (g.curve == 0.0) FUZZ_CHECK(zero(g.c) && zero(g.t0) && zero(g.t1) && g.cr == 0.0);
    }
    FUZZ_CHECK(s.steps == 0 && s.red_score == 0 && s.blue_score == 0 && s.goal_timer == 0);
    FUZZ_CHECK(s.kickoff_team == RED && s.phase == GamePhase::Kickoff);
    FUZZ_CHECK(s.kick_rate_limit.min == 2 && s.kick_rate_limit.cost == 0 && s.kick_rate_limit.cap == 1);
}

// A small deterministic stream of actions drawn from the input itself.
struct Mixer {
    std::uint64_t state;
    std::int64_t next(std::int64_t below) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::int64_t>((state >> 33) % static_cast<std::uint64_t>(below));
    }
};

void play(MatchState& s, std::uint64_t seed, int ticks) {
    Mixer mix{seed};
    PlayerAction actions[MAX_PLAYERS] = {};
    for (int t = 0; t < ticks; ++t) {
        for (std::uint64_t j = 0; j < s.n_players; ++j) actions[j] = {mix.next(3) - 1, mix.next(3) - 1, mix.next(4)};
        tick(s, actions, MAX_PLAYERS);
    }
}

// The player counts are taken from the text's hash, so every layout from a
// lone player to a full 32 meets every stadium.
struct Counts {
    std::uint64_t red;
    std::uint64_t blue;
};
constexpr Counts COUNTS[] = {{1, 0}, {0, 1}, {2, 0}, {3, 3}, {1, 4}, {16, 16}, {0, 32}, {5, 2}};

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::uint64_t hash = fnv1a(text);
    const Counts counts = COUNTS[hash % std::size(COUNTS)];

    // A failed build must leave its output exactly as it was.
    MatchState pair{};
    pair.steps = 0x5eed;
    std::string pair_error;
    const bool pair_ok = build_match_state(text, 1, 1, pair, pair_error);

    MatchState built{};
    std::string error;
    const bool ok = build_match_state(text, counts.red, counts.blue, built, error);

    // The player counts change nothing about whether, or why, a text fails.
    FUZZ_CHECK(ok == pair_ok);
    // No JSON text holds a raw NUL or bytes that are not UTF-8.
    if (text.find('\0') != std::string_view::npos) FUZZ_CHECK(!ok);
    if (!well_formed_utf8(text)) FUZZ_CHECK(!ok);
    if (!ok) {
        FUZZ_CHECK(error == pair_error);
        if (!known_error(error)) fail("unknown failure text", error);
        if (!well_formed_utf8(error)) fail("failure text is not UTF-8", error);
        FUZZ_CHECK(pair.steps == 0x5eed && pair.discs.empty() && pair.segments.empty());
        return 0;
    }
    FUZZ_CHECK(error.empty() && pair_error.empty());

    RawStadium raw;
    std::string raw_error;
    if (!read_stadium(text, raw, raw_error)) fail("the reader refuses a text that built", raw_error);
    check_built(built, raw, counts.red, counts.blue);
    check_built(pair, raw, 1, 1);
    // Geometry and obstacles come from the text alone.
    FUZZ_CHECK(geometry_bytes(built) == geometry_bytes(pair));

    // White space after the root value changes nothing.
    MatchState padded{};
    std::string padded_error;
    FUZZ_CHECK(build_match_state(std::string(text) + " \n\t\r ", 1, 1, padded, padded_error));
    FUZZ_CHECK(state_bytes(padded) == state_bytes(pair));

    // The same state and actions give the same bits, and prediction is a
    // pure read.
    const MatchState initial = built;
    MatchState twin = built;
    const std::uint64_t offsets[] = {0, 1, 3, 3, 7, 2};
    Vec2 predicted[std::size(offsets)];
    predict_ball(built, offsets, std::size(offsets), predicted);
    FUZZ_CHECK(state_bytes(built) == state_bytes(initial));

    play(built, hash, 6);
    play(twin, hash, 6);
    FUZZ_CHECK(state_bytes(built) == state_bytes(twin));

    // The after-goal countdown ends in a kickoff reset on whatever was built.
    built.phase = GamePhase::GoalScored;
    built.goal_timer = 2;
    play(built, ~hash, 2);
    FUZZ_CHECK(built.phase == GamePhase::Kickoff);
    FUZZ_CHECK(zero(built.discs[0].pos) && zero(built.discs[0].vel));

    // A fresh game is the built state again, except for obstacle discs that
    // contacts pushed, which no reset moves back.
    reset_match(built);
    MatchState expected = initial;
    for (std::uint64_t i = 1; i < expected.first_player; ++i) expected.discs[i] = built.discs[i];
    FUZZ_CHECK(state_bytes(built) == state_bytes(expected));
    return 0;
}
