// The ball predictor against the tick itself: with every player far away and
// only immovable obstacles, the predicted path must be the ticked path, bit
// for bit, rebounds included.
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "engine_fault.hpp"
#include "predict.hpp"
#include "states.hpp"
#include "tick.hpp"

namespace {

// Walls only the ball meets, so the player parked far away stays out of play.
constexpr CollisionFlags BALL_ONLY = group::BALL;

MatchState with_ball(Disc ball, std::vector<Disc> obstacles = {}) {
    return states::make(ball, obstacles, {states::player(RED, {5000, 5000})});
}

// The ball's position after t = 0, 1, ..., n ticks of the real tick.
std::vector<Vec2> ticked_path(MatchState s, std::size_t n) {
    std::vector<Vec2> path = {s.discs[0].pos};
    const PlayerAction idle{0, 0, 0};
    for (std::size_t t = 0; t < n; ++t) {
        tick(s, &idle, 1);
        path.push_back(s.discs[0].pos);
    }
    return path;
}

std::vector<Vec2> predicted(const MatchState& s, const std::vector<std::uint64_t>& offsets) {
    std::vector<Vec2> out(offsets.size(), Vec2{-12345, -12345});
    predict_ball(s, offsets.data(), offsets.size(), out.data());
    return out;
}

bool same(Vec2 a, Vec2 b) { return check::same_bits(a.x, b.x) && check::same_bits(a.y, b.y); }

// Predicts every tick from 1 to n and compares with the ticked path; returns
// the number of ticks at which the two differ.
std::size_t mismatches(const MatchState& s, std::size_t n) {
    const std::vector<Vec2> path = ticked_path(s, n);
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t t = 1; t <= n; ++t) offsets.push_back(t);
    const std::vector<Vec2> got = predicted(s, offsets);
    std::size_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) bad += !same(got[i], path[i + 1]);
    return bad;
}

// The same state with a ball that meets nothing: how far the walls bent the path.
double deflection(const MatchState& s, std::uint64_t n) {
    MatchState ghost = s;
    ghost.discs[0].invMass = 0;
    const Vec2 a = predicted(s, {n})[0];
    const Vec2 b = predicted(ghost, {n})[0];
    return std::hypot(a.x - b.x, a.y - b.y);
}

}  // namespace

TEST(offsets_record_the_ascending_prefix) {
    const MatchState s = with_ball(states::ball_at({0, 0}, {3, -2}));
    const std::vector<Vec2> p = ticked_path(s, 6);
    struct Case {
        std::vector<std::uint64_t> offsets;
        std::vector<std::size_t> ticks;  // expected: the position after this many ticks
    };
    const Case cases[] = {
        {{}, {}},
        {{0}, {0}},
        {{1, 1, 3}, {1, 1, 3}},
        {{5, 3}, {5, 5}},
        {{0, 5}, {5, 5}},
        {{3, 0}, {3, 3}},
        {{2, 4, 4, 1, 6}, {2, 4, 4, 6, 6}},
        {{6, 6}, {6, 6}},
    };
    for (const Case& c : cases) {
        const std::vector<Vec2> got = predicted(s, c.offsets);
        REQUIRE(got.size() == c.ticks.size());
        for (std::size_t i = 0; i < got.size(); ++i) CHECK(same(got[i], p[c.ticks[i]]));
    }
}

TEST(rebounds_match_the_tick) {
    Disc nan_mass_ball = states::ball_at({0, 0}, {1, 6});
    nan_mass_ball.invMass = std::nan("");  // not immovable: it still meets walls
    struct Case {
        const char* what;
        Disc ball;
        std::vector<Disc> obstacles;
        std::vector<Plane> planes;
        std::vector<Segment> segments;
        std::size_t ticks;
    };
    const Case cases[] = {
        {"a plane",
         states::ball_at({0, 0}, {2, 7}),
         {},
         {states::plane({0, -2}, -60, 0.9, group::WALL, BALL_ONLY)},
         {},
         40},
        {"a bowl, curve > 0",
         states::ball_at({0, -20}, {0.5, 6}),
         {},
         {},
         {states::arc({-80, 40}, {80, 40}, 120, 0, 1, group::WALL, BALL_ONLY)},
         60},
        {"a bowl, curve < 0",
         states::ball_at({0, -20}, {0.5, 6}),
         {},
         {},
         {states::arc({-80, 40}, {80, 40}, -120, 0, 1, group::WALL, BALL_ONLY)},
         60},
        {"inside a reflex arc",
         states::ball_at({0, 90}, {4, 3}),
         {},
         {},
         {states::arc({-50, 50}, {50, 50}, 270, 0, 0.8, group::WALL, BALL_ONLY)},
         200},
        {"a one-sided wall",
         states::ball_at({0, 0}, {0, 5}),
         {},
         {},
         {states::straight({-40, 30}, {40, 30}, -5, 1, group::WALL, BALL_ONLY)},
         30},
        {"a post", states::ball_at({0, 0}, {5, 0.5}), {states::obstacle({60, 0}, 8, 0)}, {}, {}, 30},
        {"a ball whose inverse mass is nan",
         nan_mass_ball,
         {},
         {states::plane({0, -1}, -60, 0.9, group::WALL, BALL_ONLY)},
         {},
         40},
    };
    for (const Case& c : cases) {
        MatchState s = with_ball(c.ball, c.obstacles);
        s.planes = c.planes;
        s.segments = c.segments;
        if (mismatches(s, c.ticks) != 0 || !(deflection(s, c.ticks) > 1)) std::fprintf(stderr, "  case: %s\n", c.what);
        CHECK_EQ(mismatches(s, c.ticks), std::size_t{0});
        CHECK(deflection(s, c.ticks) > 1);  // the wall was really met
    }
}

TEST(a_long_rally_in_a_closed_box_matches_the_tick) {
    Disc ball = states::ball_at({10, 20}, {9.3, 4.1});
    ball.damping = 0.999;
    MatchState s = with_ball(ball, {states::obstacle({0, 0}, 30, 0), states::obstacle({200, 100}, 8, 0)});
    for (const Vec2 n : {Vec2{0, 1}, Vec2{0, -1}, Vec2{1, 0}, Vec2{-1, 0}})
        s.planes.push_back(states::plane(n, n.x == 0 ? -200 : -400, 0.9, group::WALL, BALL_ONLY));
    s.segments = {
        states::arc({300, -200}, {400, -100}, 90, 0, 1, group::WALL, BALL_ONLY),
        states::arc({-400, 100}, {-300, 200}, -90, 0, 1, group::WALL, BALL_ONLY),
        states::arc({-300, -200}, {-400, -100}, 60, 3, 1, group::WALL, BALL_ONLY),
        states::straight({100, 150}, {250, 50}, 0, 0.5, group::WALL, BALL_ONLY),
        states::straight({-250, -50}, {-100, -150}, 10, 1, group::WALL, BALL_ONLY),
    };
    CHECK_EQ(mismatches(s, 3000), std::size_t{0});
}

TEST(an_immovable_ball_passes_through_walls_and_posts) {
    Disc ball = states::ball_at({0, 0}, {4, 0});
    ball.invMass = 0;
    MatchState s = with_ball(ball, {states::obstacle({50, 0}, 8, 1)});
    s.planes.push_back(states::plane({-1, 0}, -100));
    s.segments.push_back(states::straight({150, -50}, {150, 50}));
    Vec2 pos = ball.pos;
    Vec2 vel = ball.vel;
    std::vector<std::uint64_t> offsets;
    std::vector<Vec2> free_flight;
    for (std::uint64_t t = 1; t <= 80; ++t) {
        pos = pos + vel;
        vel = vel * ball.damping;
        offsets.push_back(t);
        free_flight.push_back(pos);
    }
    const std::vector<Vec2> got = predicted(s, offsets);
    for (std::size_t i = 0; i < got.size(); ++i) CHECK(same(got[i], free_flight[i]));
    CHECK(got.back().x > 150);
}

TEST(obstacles_stay_frozen_and_the_state_is_untouched) {
    // A ball at rest overlapping a movable disc: with the disc frozen the ball
    // takes half of the overlap on every tick (5, then 2.5, then 1.25).
    MatchState s = with_ball(states::ball_at({0, 0}), {states::obstacle({15, 0}, 10, 1)});
    const std::uint64_t before = states::hash(s);
    const std::vector<Vec2> got = predicted(s, {1, 2, 3});
    CHECK_BITS(got[0].x, -2.5);
    CHECK_BITS(got[1].x, -3.75);
    CHECK_BITS(got[2].x, -4.375);
    CHECK_EQ(states::hash(s), before);
    const std::vector<Vec2> again = predicted(s, {1, 2, 3});
    for (std::size_t i = 0; i < 3; ++i) CHECK(same(again[i], got[i]));
}

TEST(a_ball_at_rest_stays_put) {
    MatchState s = with_ball(states::ball_at({7, -3}));
    s.planes.push_back(states::plane({0, 1}, -100));
    for (const Vec2 p : predicted(s, {1, 10, 1000})) CHECK(same(p, {7, -3}));
}

TEST(prediction_refuses_a_broken_state) {
    MatchState s = with_ball(states::ball_at({0, 0}));
    s.first_player = 5;
    const std::uint64_t offsets[] = {1};
    Vec2 out[1] = {{-1, -1}};
    bool refused = false;
    try {
        predict_ball(s, offsets, 1, out);
    } catch (const EngineFault&) {
        refused = true;
    }
    CHECK(refused);
    CHECK(same(out[0], {-1, -1}));
}
