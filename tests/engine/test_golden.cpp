// Long scripted matches whose final state is pinned by a hash of every field.
// Any change to the order or the arithmetic of the tick, the contacts or the
// game flow changes the hash; a change that is meant must re-pin it.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "game_flow.hpp"
#include "stadium.hpp"
#include "states.hpp"
#include "tick.hpp"

using states::sign;
using states::SplitMix64;

namespace {

// Most players chase: run round behind the ball towards the goal they attack
// and kick when close; the rest press random keys.
PlayerAction scripted_action(const MatchState& s, std::size_t j, SplitMix64& rng) {
    const Disc& p = s.discs[s.first_player + j];
    const Vec2 ball = s.discs[0].pos;
    if (rng.below(10) < 3) return {rng.below(3) - 1, rng.below(3) - 1, rng.below(4)};
    const double attack_x = p.team == RED ? 1000.0 : -1000.0;
    const Vec2 away = ball - Vec2{attack_x, 0};
    const double len = std::sqrt(dot(away, away));
    const Vec2 behind = ball + away * (20.0 / len);
    const Vec2 to_ball = ball - p.pos;
    const bool close = dot(to_ball, to_ball) < 35.0 * 35.0;
    const Vec2 target = close ? ball : behind;
    return {sign(target.x - p.pos.x), sign(target.y - p.pos.y), close ? 1 + rng.below(2) : 0};
}

struct RunResult {
    std::uint64_t hash;
    std::uint64_t goals_reported;
    std::uint64_t kickoffs;
    std::uint32_t red_score;
    std::uint32_t blue_score;
};

RunResult run(MatchState s, std::uint64_t seed, int ticks) {
    SplitMix64 rng{seed};
    RunResult r{0, 0, 0, 0, 0};
    std::vector<PlayerAction> actions(s.n_players);
    for (int t = 0; t < ticks; ++t) {
        for (std::size_t j = 0; j < s.n_players; ++j) actions[j] = scripted_action(s, j, rng);
        const GamePhase before = s.phase;
        if (tick(s, actions.data(), actions.size())) ++r.goals_reported;
        if (before == GamePhase::GoalScored && s.phase == GamePhase::Kickoff) ++r.kickoffs;
    }
    r.hash = states::hash(s);
    r.red_score = s.red_score;
    r.blue_score = s.blue_score;
    return r;
}

// A hand-built pitch: plane boundaries, end walls with goal mouths, curved
// corners of both signs, nets behind the goals, a one-sided wall, kickoff
// barriers, immovable posts and one movable disc.
MatchState hand_built_match() {
    using states::arc;
    using states::player;
    using states::straight;
    constexpr CollisionFlags BALL_ONLY = group::BALL;
    std::vector<Disc> obstacles = {
        states::obstacle({300, 60}, 8, 0),   states::obstacle({300, -60}, 8, 0),  states::obstacle({-300, 60}, 8, 0),
        states::obstacle({-300, -60}, 8, 0), states::obstacle({0, 110}, 12, 0.2),
    };
    std::vector<Disc> players = {player(RED), player(RED), player(RED), player(BLUE), player(BLUE)};
    players[1].kickback = 0.5;
    players[3].kickStrength = 6;
    MatchState s = states::make(states::ball_at({0, 0}), obstacles, players);
    s.planes = {
        states::plane({0, 1}, -190, 0.1),
        states::plane({0, -1}, -190, 0.1),
        states::plane({1, 0}, -360, 0.1),
        states::plane({-1, 0}, -360, 0.1),
    };
    s.segments = {
        // End walls above and below the goal mouths stop the ball only.
        straight({300, 60}, {300, 130}, 0, 1, group::WALL, BALL_ONLY),
        straight({300, -130}, {300, -60}, 0, 1, group::WALL, BALL_ONLY),
        straight({-300, 130}, {-300, 60}, 0, 1, group::WALL, BALL_ONLY),
        straight({-300, -60}, {-300, -130}, 0, 1, group::WALL, BALL_ONLY),
        // Side lines and corners.
        straight({-280, 150}, {280, 150}, 0, 1, group::WALL, BALL_ONLY),
        straight({280, -150}, {-280, -150}, 0, 1, group::WALL, BALL_ONLY),
        arc({280, 150}, {300, 130}, 90, 0, 1, group::WALL, BALL_ONLY),
        arc({300, -130}, {280, -150}, 90, 0, 1, group::WALL, BALL_ONLY),
        arc({-300, 130}, {-280, 150}, -90, 0, 1, group::WALL, BALL_ONLY),
        arc({-280, -150}, {-300, -130}, -90, 0, 1, group::WALL, BALL_ONLY),
        // Nets behind the goals, one of them a deep reflex bag.
        arc({300, 60}, {300, -60}, 150, 0, 0.1),
        arc({-300, -60}, {-300, 60}, 200, 0, 0.1),
        // A one-sided deflector that the ball can cross from behind.
        straight({-120, -120}, {-60, -140}, 4, 0.7, group::WALL, BALL_ONLY),
        // The kickoff barrier: the centre line and a semicircle on each side.
        straight({0, 190}, {0, 70}, 0, 0.1, group::RED_KO | group::BLUE_KO, group::RED | group::BLUE),
        straight({0, -70}, {0, -190}, 0, 0.1, group::RED_KO | group::BLUE_KO, group::RED | group::BLUE),
        arc({0, -70}, {0, 70}, 180, 0, 0.1, group::RED_KO, group::RED | group::BLUE),
        arc({0, 70}, {0, -70}, 180, 0, 0.1, group::BLUE_KO, group::RED | group::BLUE),
    };
    s.goals = {{{300, -60}, {300, 60}, BLUE}, {{-300, 60}, {-300, -60}, RED}};
    s.red_spawn_points = {{-150, 0}};
    s.spawn_distance = 200;
    s.kick_rate_limit = {3, 1, 3};
    reset_match(s);
    return s;
}

}  // namespace

TEST(golden_hand_built_match) {
    const MatchState start = hand_built_match();
    const RunResult r = run(start, 0x5eed0001, 6000);
    CHECK(r.red_score > 0 && r.blue_score > 0);
    CHECK_EQ(r.goals_reported, std::uint64_t{r.red_score + r.blue_score});
    CHECK(r.kickoffs >= 2);
    const RunResult again = run(start, 0x5eed0001, 6000);
    CHECK_EQ(again.hash, r.hash);
    CHECK_EQ(r.hash, std::uint64_t{12910574692083464174ull});
}

TEST(golden_classic_three_against_three) {
    MatchState start;
    std::string error;
    REQUIRE(build_match_state(classic_stadium_text(), 3, 3, start, error));
    const RunResult r = run(start, 0xc1a551c, 8000);
    CHECK(r.red_score > 0 && r.blue_score > 0);
    CHECK_EQ(r.goals_reported, std::uint64_t{r.red_score + r.blue_score});
    CHECK(r.kickoffs >= 2);
    CHECK_EQ(r.hash, std::uint64_t{1067376683692996299ull});
}
