// One physics tick: movement, kicks and the kick rate limit, integration, the
// contact sweep and the goal report, on small hand-made states.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "check.hpp"
#include "engine_fault.hpp"
#include "game_flow.hpp"
#include "states.hpp"
#include "tick.hpp"

using states::player;
using states::slot;

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

bool near(double a, double b, double tol = 1e-12) { return std::fabs(a - b) <= tol; }

// One red player at the origin with the ball far out of reach.
MatchState lone_player() { return states::make(states::ball_at({1000, 1000}), {}, {player(RED, {0, 0})}); }

std::optional<Team> step(MatchState& s, std::vector<PlayerAction> actions) {
    return tick(s, actions.data(), actions.size());
}

// A kickable disc that collides with nothing and is never integrated: every
// kick adds the kicker's strength to its velocity, so it counts kicks.
Disc kick_counter(Vec2 pos) { return states::obstacle(pos, 10, 1, group::KICK, 0); }

// The ticks (from 1) on which a player holding `kicks[t - 1]` kicked.
std::vector<int> kick_ticks(KickRateLimit limit, const std::vector<std::int64_t>& kicks) {
    Disc p = player(RED, {0, 0});
    p.acceleration = p.kickingAcceleration = 0;
    MatchState s = states::make(states::ball_at({1000, 0}), {kick_counter({26, 0})}, {p});
    s.kick_rate_limit = limit;
    std::vector<int> kicked;
    for (std::size_t t = 0; t < kicks.size(); ++t) {
        const double before = s.discs[1].vel.x;
        step(s, {{0, 0, kicks[t]}});
        if (s.discs[1].vel.x > before) kicked.push_back(static_cast<int>(t) + 1);
    }
    return kicked;
}

std::vector<std::int64_t> repeat(std::int64_t kick, std::size_t n, std::vector<std::int64_t> tail = {}) {
    std::vector<std::int64_t> v(n, kick);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

}  // namespace

TEST(movement_uses_only_the_input_direction) {
    const double r = std::sqrt(0.5);
    struct Case {
        std::int64_t dx, dy;
        double ux, uy;
    };
    const Case cases[] = {
        {1, 0, 1, 0}, {2, 0, 1, 0},   {0, -7, 0, -1},      {3, 4, 0.6, 0.8},
        {1, 1, r, r}, {-1, 1, -r, r}, {I64_MIN, 0, -1, 0}, {I64_MAX, I64_MIN, r, -r},
    };
    for (const Case& c : cases) {
        MatchState s = lone_player();
        step(s, {{c.dx, c.dy, 0}});
        // Up to rounding: 0.1 along u after one tick, speed 0.096 after damping.
        CHECK(near(slot(s, 0).pos.x, 0.1 * c.ux) && near(slot(s, 0).pos.y, 0.1 * c.uy));
        CHECK(near(slot(s, 0).vel.x, 0.096 * c.ux) && near(slot(s, 0).vel.y, 0.096 * c.uy));
        step(s, {{c.dx, c.dy, 0}});
        CHECK(near(slot(s, 0).pos.x, 0.296 * c.ux) && near(slot(s, 0).pos.y, 0.296 * c.uy));
        CHECK(near(slot(s, 0).vel.x, 0.18816 * c.ux) && near(slot(s, 0).vel.y, 0.18816 * c.uy));
    }
    // Exact figures on the axis, where the direction is exactly 1.
    MatchState a = lone_player();
    MatchState b = lone_player();
    for (int i = 0; i < 2; ++i) {
        step(a, {{1, 0, 0}});
        step(b, {{2, 0, 0}});
    }
    CHECK_BITS(a.discs[1].pos.x, b.discs[1].pos.x);
    CHECK_BITS(a.discs[1].vel.x, (0.1 + 0.1 * 0.96) * 0.96);
    CHECK_BITS(a.discs[1].pos.x, 0.1 + (0.1 + 0.1 * 0.96));
}

TEST(movement_speed_tends_to_its_limit_and_no_input_only_drifts) {
    MatchState s = lone_player();
    for (int i = 0; i < 2000; ++i) step(s, {{1, 0, 0}});
    CHECK(near(slot(s, 0).vel.x, 2.4, 1e-9));
    const double v = slot(s, 0).vel.x;
    const double x = slot(s, 0).pos.x;
    step(s, {{0, 0, 0}});
    CHECK_BITS(slot(s, 0).pos.x, x + v);
    CHECK_BITS(slot(s, 0).vel.x, v * 0.96);
    CHECK_BITS(slot(s, 0).vel.y, 0.0);
}

TEST(kick_reach_is_exclusive_at_four_units) {
    struct Case {
        double ball_x;  // player radius 15 at the origin, ball radius 10
        double kickback;
        bool kicked;
    };
    for (const Case c : {Case{28.99, 0, true}, Case{29.0, 0, false}, Case{28.99, 3, true}, Case{-28.99, 3, true}}) {
        Disc p = player(RED, {0, 0});
        p.kickback = c.kickback;
        p.acceleration = p.kickingAcceleration = 0;
        MatchState s = states::make(states::ball_at({c.ball_x, 0}), {}, {p});
        step(s, {{0, 0, 1}});
        const double dir = c.ball_x > 0 ? 1.0 : -1.0;
        // The ball flies off along n, 5 per tick, damped once; the kicker
        // recoils by kickback * invMass the other way.
        CHECK_BITS(s.discs[0].vel.x, c.kicked ? 5 * dir * 0.99 : 0.0);
        CHECK_BITS(slot(s, 0).vel.x, c.kicked && c.kickback != 0 ? -dir * c.kickback * 0.5 * 0.96 : 0.0);
        CHECK_EQ(s.kick_flag[0] == 0, c.kicked);
        CHECK_EQ(s.kick_cooldown[0], std::int64_t{c.kicked ? 2 : 0});
    }
}

// The kicks of a run keep per-slot bounds for the batch's most players; a
// state built with more, or whose player radii differ from slot to slot,
// must kick as the exact test says, in single ticks and in a run alike.
TEST(kick_reach_holds_for_every_slot_of_many_players_and_mixed_radii) {
    for (const std::size_t n_players : {std::size_t{3}, MAX_PLAYERS + 8}) {
        std::vector<Disc> players;
        for (std::size_t j = 0; j < n_players; ++j) {
            // Far apart, away from the ball, all but the last.
            Disc p = player(j % 2 == 0 ? RED : BLUE, {-5000.0 - 100.0 * static_cast<double>(j), 3000});
            p.radius = 5.0 + static_cast<double>(j % 4);
            p.acceleration = p.kickingAcceleration = 0;
            players.push_back(p);
        }
        // The last slot's surface 3.99 from the ball's, the one before it 4.0.
        players[n_players - 1].pos = {10 + players[n_players - 1].radius + 3.99, 0};
        players[n_players - 2].pos = {0, 10 + players[n_players - 2].radius + 4.0};
        for (const bool run : {false, true}) {
            MatchState s = states::make(states::ball_at({0, 0}), {}, players);
            const std::vector<PlayerAction> actions(n_players, PlayerAction{0, 0, 1});
            if (run) {
                tick_repeatedly(s, actions.data(), actions.size(), 1);
            } else {
                step(s, actions);
            }
            CHECK_BITS(s.discs[0].vel.x, -5 * 0.99);
            CHECK_EQ(s.kick_flag[n_players - 1], std::uint8_t{0});
            CHECK_EQ(s.kick_flag[n_players - 2], std::uint8_t{1});
        }
    }
}

// A kick moves a kickable player of an earlier slot before anyone is
// integrated: it leaves with the kick in the velocity it moves and damps by.
TEST(a_kicked_player_of_an_earlier_slot_moves_with_the_kick) {
    Disc kicked = player(RED, {0, 0});
    kicked.cGroup |= group::KICK;
    Disc kicker = player(BLUE, {15 + 15 + 3.99, 0});
    kicker.acceleration = kicker.kickingAcceleration = 0;
    MatchState s = states::make(states::ball_at({1000, 1000}), {}, {kicked, kicker});
    step(s, {{0, 0, 0}, {0, 0, 1}});
    // n points from the kicker to slot 0: (-1, 0); strength 5, invMass 0.5.
    CHECK_BITS(slot(s, 0).pos.x, -2.5);
    CHECK_BITS(slot(s, 0).vel.x, -2.5 * 0.96);
    CHECK_EQ(s.kick_flag[1], std::uint8_t{0});
}

// Kicks that miss by far skip the square root; near the edge of reach, for
// radii of every sign and size, a kick must hit exactly when the full test
// says so.
TEST(kick_reach_edge_matches_the_exact_test) {
    SplitMix64 rng{2718};
    const double radii[] = {0.0, 1e-300, 0.5, 10.0, 15.0, 1e6, -3.0, -25.0, 1e300};
    int hits = 0;
    int misses = 0;
    for (int n = 0; n < 4000; ++n) {
        const double pr = radii[rng.below(std::size(radii))];
        const double kr = radii[rng.below(std::size(radii))];
        // Distances a few ulps either side of where dist - kr - pr crosses 4.
        const double edge = std::fabs(4.0 + kr + pr);
        const double dist =
            std::nextafter(edge, 0.0) + static_cast<double>(rng.below(9) - 4) * std::ldexp(std::fmax(edge, 1.0), -52);
        const double angle = static_cast<double>(rng.below(1000)) * 0.00628;
        const Vec2 at = {dist * std::cos(angle) + 100.0, dist * std::sin(angle) - 50.0};
        Disc p = player(RED, {100.0, -50.0});
        p.radius = pr;
        p.acceleration = p.kickingAcceleration = 0;
        Disc k = kick_counter(at);
        k.radius = kr;
        // The ball is kickable too; here it only looks on.
        Disc ball = states::ball_at({5000, 5000});
        ball.cGroup &= ~group::KICK;
        MatchState s = states::make(ball, {k}, {p});
        const Vec2 d = s.discs[1].pos - slot(s, 0).pos;
        const double d2 = dot(d, d);
        const bool expected = d2 > 0.0 && std::sqrt(d2) - kr - pr < 4.0;
        step(s, {{0, 0, 1}});
        CHECK_EQ(s.kick_flag[0] == 0, expected);
        (expected ? hits : misses) += 1;
    }
    CHECK(hits > 500 && misses > 500);
}

TEST(kick_rate_limit_sequences) {
    struct Case {
        const char* what;
        KickRateLimit limit;
        std::vector<std::int64_t> kicks;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"kick=1 held kicks once", {2, 0, 1}, repeat(1, 12), {1}},
        {"a release re-arms kick=1", {2, 0, 1}, repeat(1, 5, {0, 1, 1, 1}), {1, 7}},
        {"kick=2 held, default limit: every second tick", {2, 0, 1}, repeat(2, 9), {1, 3, 5, 7, 9}},
        {"values above 2 hold like 1", {2, 0, 1}, repeat(3, 6), {1}},
        {"cost 4, cap 2 from a reset", {2, 4, 2}, repeat(2, 13), {1, 4, 8, 12}},
        {"cost 4, cap 2 after ten idle ticks", {2, 4, 2}, repeat(0, 10, repeat(2, 12)), {11, 13, 17, 21}},
        {"cooldown 0 lets kick=2 kick every tick", {0, 0, 1}, repeat(2, 4), {1, 2, 3, 4}},
        {"a budget that can never grow allows one kick", {2, 1, I64_MIN}, repeat(2, 6), {1}},
    };
    for (const Case& c : cases) {
        const std::vector<int> got = kick_ticks(c.limit, c.kicks);
        if (got != c.expected) std::fprintf(stderr, "  case: %s\n", c.what);
        CHECK(got == c.expected);
    }
}

TEST(one_kick_hits_every_kickable_disc_in_reach) {
    Disc p = player(RED, {0, 0});
    p.kickback = 1;
    p.acceleration = p.kickingAcceleration = 0;
    // Ball to the right, a kickable obstacle above, a non-kickable one to the left.
    MatchState s =
        states::make(states::ball_at({28, 0}), {kick_counter({0, 28}), states::obstacle({-26, 0}, 10, 1, 63, 0)}, {p});
    step(s, {{0, 0, 1}});
    CHECK_BITS(s.discs[0].vel.x, 5 * 0.99);
    CHECK_BITS(s.discs[1].vel.y, 5.0);
    CHECK_BITS(s.discs[2].vel.x, 0.0);
    // One recoil per disc hit, each of kickback * invMass.
    CHECK_BITS(slot(s, 0).vel.x, -0.5 * 0.96);
    CHECK_BITS(slot(s, 0).vel.y, -0.5 * 0.96);
}

TEST(two_players_kicking_the_ball_in_one_tick_both_count) {
    Disc left = player(RED, {-26, 0});
    Disc below = player(BLUE, {0, 26});
    left.acceleration = below.acceleration = left.kickingAcceleration = below.kickingAcceleration = 0;
    MatchState s = states::make(states::ball_at({0, 0}), {}, {left, below});
    step(s, {{0, 0, 1}, {0, 0, 2}});
    CHECK_BITS(s.discs[0].vel.x, 5 * 0.99);
    CHECK_BITS(s.discs[0].vel.y, -5 * 0.99);
    CHECK_EQ(s.kick_flag[0] + s.kick_flag[1], 0);
}

TEST(an_immovable_disc_takes_no_impulse_but_the_kick_counts) {
    Disc p = player(RED, {0, 0});
    p.kickback = 2;
    p.acceleration = p.kickingAcceleration = 0;
    MatchState s = states::make(states::ball_at({1000, 0}), {states::obstacle({0, -27}, 10, 0, 64, 0)}, {p});
    step(s, {{0, 0, 1}});
    CHECK_BITS(s.discs[1].vel.y, 0.0);
    CHECK_BITS(slot(s, 0).vel.y, 2 * 0.5 * 0.96);  // recoil away from the disc
    CHECK_EQ(s.kick_flag[0], 0);
    CHECK_EQ(s.kick_cooldown[0], std::int64_t{2});
}

TEST(a_kick_with_nothing_in_reach_stays_armed) {
    Disc p = player(RED, {0, 0});
    p.kickingDamping = 0.5;
    MatchState s = states::make(states::ball_at({1000, 0}), {}, {p});
    step(s, {{1, 0, 1}});
    CHECK_EQ(s.kick_flag[0], 1);
    CHECK_BITS(slot(s, 0).vel.x, 0.07 * 0.5);
    step(s, {{1, 0, 1}});
    CHECK_EQ(s.kick_flag[0], 1);
    CHECK_BITS(slot(s, 0).vel.x, (0.07 + 0.07 * 0.5) * 0.5);
    step(s, {{1, 0, 0}});  // released: normal acceleration and damping again
    CHECK_EQ(s.kick_flag[0], 0);
    CHECK_BITS(slot(s, 0).vel.x, (0.1 + (0.07 + 0.07 * 0.5) * 0.5) * 0.96);
}

// Each slot moves by its own accelerations and dampings, picked by its own
// kick state, whether a run keeps them in its per-slot tables (up to the
// batch's most players) or reads them from the discs (beyond).
TEST(every_slot_moves_by_its_own_acceleration_and_damping_armed_or_not) {
    for (const std::size_t n_players : {std::size_t{5}, MAX_PLAYERS + 3}) {
        std::vector<Disc> players;
        std::vector<PlayerAction> actions;
        for (std::size_t j = 0; j < n_players; ++j) {
            // Far apart and far from the ball: nothing touches, nothing is kicked.
            Disc p = player(j % 2 == 0 ? RED : BLUE, {-5000.0 - 100.0 * static_cast<double>(j), 3000});
            const double k = static_cast<double>(j + 1);
            p.acceleration = 0.1 * k;
            p.kickingAcceleration = 0.01 * k;
            p.damping = 1.0 - 0.001 * k;
            p.kickingDamping = 1.0 - 0.01 * k;
            players.push_back(p);
            actions.push_back({1, 0, static_cast<std::int64_t>(j % 3 == 0)});
        }
        for (const bool run : {false, true}) {
            MatchState s = states::make(states::ball_at({0, 0}), {}, players);
            if (run) {
                tick_repeatedly(s, actions.data(), actions.size(), 2);
            } else {
                tick(s, actions.data(), actions.size());
                tick(s, actions.data(), actions.size());
            }
            for (std::size_t j = 0; j < n_players; ++j) {
                const Disc& p = players[j];
                const bool armed = j % 3 == 0;
                const double a = armed ? p.kickingAcceleration : p.acceleration;
                const double damping = armed ? p.kickingDamping : p.damping;
                const double v1 = (a * 1.0 + 0.0) * damping;
                const double v2 = (a * 1.0 + v1) * damping;
                CHECK_BITS(slot(s, j).vel.x, v2);
                CHECK_BITS(slot(s, j).pos.x, (p.pos.x + a * 1.0) + (a * 1.0 + v1));
                CHECK_EQ(s.kick_flag[j], std::uint8_t{armed});
            }
        }
    }
}

TEST(barrier_masks_hold_from_the_second_tick_until_after_the_touch) {
    for (Team kickoff : {RED, BLUE}) {
        Disc kicker = player(RED);
        kicker.acceleration = 0;
        MatchState s = states::make(states::ball_at({0, 0}), {}, {kicker, player(BLUE)});
        s.kickoff_team = kickoff;
        reset_positions(s);
        const CollisionFlags barrier = kickoff == RED ? 47 : 55;
        step(s, {{0, 0, 0}, {0, 0, 0}});
        CHECK_EQ(slot(s, 0).cMask, barrier);
        CHECK(s.phase == GamePhase::Kickoff);
        slot(s, 0).pos = {-26, 0};  // within reach of the ball
        step(s, {{0, 0, 1}, {0, 0, 0}});
        CHECK(s.phase == GamePhase::Playing);
        CHECK_EQ(slot(s, 1).cMask, barrier);
        step(s, {{0, 0, 0}, {0, 0, 0}});
        CHECK_EQ(slot(s, 0).cMask, PLAYER_CMASK);
        CHECK_EQ(slot(s, 1).cMask, PLAYER_CMASK);
    }
}

TEST(the_barrier_mask_decides_which_walls_a_player_meets) {
    struct Case {
        CollisionFlags player_mask;
        bool blocked;
    };
    for (const Case c : {Case{47, true}, Case{55, false}, Case{39, false}}) {
        // A wall in the redKO group that stops red and blue players.
        Segment barrier = states::straight({20, -100}, {20, 100}, 0, 1, group::RED_KO, 6);
        Disc p = player(RED, {0, 0});
        p.vel = {10, 0};
        MatchState s = states::make(states::ball_at({1000, 1000}), {}, {p});
        s.segments.push_back(barrier);
        s.phase = GamePhase::GoalScored;  // the phase step leaves masks alone
        s.goal_timer = 100;
        slot(s, 0).cMask = c.player_mask;
        step(s, {{0, 0, 0}});
        CHECK_EQ(slot(s, 0).pos.x < 10, c.blocked);
    }
}

TEST(walls_meet_discs_by_the_mask_rule_and_never_immovable_ones) {
    struct Case {
        const char* what;
        Disc disc;
        CollisionFlags wall_mask;
        bool pushed;
    };
    Disc immovable = player(RED, {0, 5});
    immovable.invMass = 0;
    Disc nan_mass = player(RED, {0, 5});
    nan_mass.invMass = std::nan("");
    const Case cases[] = {
        {"ball by a ball-only wall", states::ball_at({0, 5}), group::BALL, true},
        {"player through a ball-only wall", player(RED, {0, 5}), group::BALL, false},
        {"player by a wall for all", player(RED, {0, 5}), group::ALL, true},
        {"immovable player", immovable, group::ALL, false},
        {"player whose inverse mass is nan", nan_mass, group::ALL, true},
    };
    for (const Case& c : cases) {
        for (int wall = 0; wall < 2; ++wall) {
            // The disc sits 5 off the line y = 0, inside its radius; nothing
            // else moves it.
            const bool is_ball = c.disc.team == NO_TEAM;
            MatchState s = is_ball ? states::make(c.disc, {}, {player(RED, {500, 500})})
                                   : states::make(states::ball_at({900, 900}), {}, {c.disc});
            if (wall == 0) s.planes.push_back(states::plane({0, -1}, 0, 1, group::WALL, c.wall_mask));
            if (wall == 1) s.segments.push_back(states::straight({-50, 0}, {50, 0}, 0, 1, group::WALL, c.wall_mask));
            step(s, {{0, 0, 0}});
            const Disc& d = is_ball ? s.discs[0] : slot(s, 0);
            const bool pushed = d.pos.y != 5;
            if (pushed != c.pushed) std::fprintf(stderr, "  case: %s, wall %d\n", c.what, wall);
            CHECK_EQ(pushed, c.pushed);
        }
    }
}

TEST(obstacle_discs_are_pushed_but_never_integrated) {
    Disc p = player(RED, {0, 0});
    p.vel = {5, 0};
    MatchState s = states::make(states::ball_at({1000, 1000}), {states::obstacle({28, 0}, 10, 1)}, {p});
    step(s, {{0, 0, 0}});
    const Disc pushed = s.discs[1];
    CHECK(pushed.pos.x > 28);
    CHECK(pushed.vel.x > 0);
    slot(s, 0).vel = {0, 0};
    slot(s, 0).pos = {-500, 0};
    step(s, {{0, 0, 0}});
    CHECK_BITS(s.discs[1].pos.x, pushed.pos.x);
    CHECK_BITS(s.discs[1].vel.x, pushed.vel.x);
}

TEST(an_immovable_player_pushes_but_is_not_pushed) {
    Disc wall_like = player(RED, {0, 0});
    wall_like.invMass = 0;
    Disc other = player(BLUE, {25, 0});
    MatchState s = states::make(states::ball_at({1000, 1000}), {}, {wall_like, other});
    step(s, {{0, 0, 0}, {0, 0, 0}});
    CHECK_BITS(slot(s, 0).pos.x, 0.0);
    CHECK_BITS(slot(s, 1).pos.x, 30.0);
}

TEST(the_goal_test_sees_the_ball_after_the_sweep) {
    struct Case {
        bool wall_in_front;
        bool scores;
    };
    for (const Case c : {Case{false, true}, Case{true, false}}) {
        MatchState s = states::make(states::ball_at({95, 0}, {10, 0}), {}, {player(RED, {-500, 0})});
        s.goals.push_back({{100, -50}, {100, 50}, BLUE});
        // A plane facing -x at x = 100: the sweep pushes the ball back before the line.
        if (c.wall_in_front) s.planes.push_back(states::plane({-1, 0}, -100));
        s.phase = GamePhase::Playing;
        const std::optional<Team> r = step(s, {{0, 0, 0}});
        CHECK_EQ(r.has_value(), c.scores);
        if (r) CHECK_EQ(*r, BLUE);
        CHECK_EQ(s.steps, std::uint64_t{1});
    }
}

TEST(goal_countdown_and_the_kickoff_that_follows) {
    struct Case {
        Team defender;
        CollisionFlags next_barrier;
    };
    for (const Case c : {Case{RED, 47}, Case{NO_TEAM, 55}, Case{BLUE, 55}}) {
        MatchState s = states::make(states::ball_at({95, 0}, {10, 0}), {}, {player(RED), player(BLUE)});
        s.goals.push_back({{100, -50}, {100, 50}, c.defender});
        s.phase = GamePhase::Playing;
        const std::vector<PlayerAction> idle = {{0, 0, 0}, {0, 0, 0}};
        const std::optional<Team> r = step(s, idle);
        REQUIRE(r.has_value());
        CHECK_EQ(*r, c.defender);
        for (int i = 0; i < 149; ++i) CHECK(!step(s, idle).has_value());
        CHECK(s.phase == GamePhase::GoalScored);
        CHECK(!step(s, idle).has_value());
        CHECK(s.phase == GamePhase::Kickoff);
        CHECK_BITS(s.discs[0].pos.x, 0.0);
        CHECK_BITS(slot(s, 0).pos.x, -277.5);
        CHECK_EQ(slot(s, 0).cMask, PLAYER_CMASK);
        step(s, idle);
        CHECK_EQ(slot(s, 0).cMask, c.next_barrier);
        CHECK_EQ(s.steps, std::uint64_t{152});
    }
}

TEST(ticking_a_copy_leaves_the_source_unchanged) {
    MatchState source = states::make(states::ball_at({26, 0}, {1, 0}), {states::obstacle({0, 40}, 8, 1)},
                                     {player(RED), player(BLUE, {60, 0})});
    source.segments.push_back(states::arc({-100, -100}, {100, -100}, 90));
    source.planes.push_back(states::plane({0, 1}, -120));
    source.goals.push_back({{100, -50}, {100, 50}, BLUE});
    const std::uint64_t before = states::hash(source);
    MatchState copy = source;
    for (int i = 0; i < 50; ++i) step(copy, {{1, 0, 2}, {-1, 1, 2}});
    CHECK_EQ(states::hash(source), before);
    CHECK(states::hash(copy) != before);
}

TEST(a_broken_contract_throws_before_any_change) {
    const std::vector<PlayerAction> two = {{1, 0, 2}, {1, 1, 2}};
    struct Case {
        const char* what;
        void (*breaker)(MatchState&);
        std::size_t n_actions;
        bool null_actions;
    };
    const Case cases[] = {
        {"one action for two players", +[](MatchState&) {}, 1, false},
        {"no action buffer", +[](MatchState&) {}, 2, true},
        {"no discs", +[](MatchState& s) { s.discs.clear(); }, 2, false},
        {"a disc missing", +[](MatchState& s) { s.discs.pop_back(); }, 2, false},
        {"players overlapping the ball",
         +[](MatchState& s) {
             s.first_player = 0;
             ++s.n_players;
         },
         3, false},
        {"a short cooldown list", +[](MatchState& s) { s.kick_cooldown.pop_back(); }, 2, false},
        {"a long flag list", +[](MatchState& s) { s.kick_flag.push_back(1); }, 2, false},
    };
    for (const Case& c : cases) {
        MatchState s = states::make(states::ball_at({26, 0}), {}, {player(RED), player(BLUE)});
        c.breaker(s);
        const std::uint64_t before = states::hash(s);
        std::vector<PlayerAction> actions = two;
        actions.resize(c.n_actions, PlayerAction{1, 0, 2});
        bool refused = false;
        try {
            tick(s, c.null_actions ? nullptr : actions.data(), c.n_actions);
        } catch (const EngineFault&) {
            refused = true;
        }
        if (!refused) std::fprintf(stderr, "  case: %s\n", c.what);
        CHECK(refused);
        CHECK_EQ(states::hash(s), before);
    }
}

TEST(extreme_kick_bookkeeping_saturates) {
    struct Case {
        const char* what;
        KickRateLimit limit;
        std::int64_t budget, cooldown;
        std::int64_t budget_after, cooldown_after;
        bool kicked;
    };
    const Case cases[] = {
        {"a negative cost past the top", {2, I64_MIN, 1}, 5, 0, I64_MAX, 2, true},
        {"a full budget and cost -1", {2, -1, I64_MAX}, I64_MAX, 0, I64_MAX, 2, true},
        {"the largest cost", {2, I64_MAX, I64_MAX}, 0, 0, 1 - I64_MAX, 2, true},
        {"the lowest cooldown", {I64_MIN, 0, 1}, 0, 0, 1, I64_MIN, true},
        {"a cooldown at the lowest value", {2, 0, 1}, 0, I64_MIN, 1, 2, true},
        {"the highest cooldown", {2, 0, 1}, 0, I64_MAX, 1, I64_MAX - 1, false},
        {"the lowest budget and cap", {2, 0, I64_MIN}, I64_MIN, 0, I64_MIN, 0, false},
        {"a budget at the cap", {2, 0, I64_MAX}, I64_MAX - 1, 0, I64_MAX, 2, true},
    };
    for (const Case& c : cases) {
        Disc p = player(RED, {0, 0});
        p.acceleration = p.kickingAcceleration = 0;
        MatchState s = states::make(states::ball_at({1000, 0}), {kick_counter({26, 0})}, {p});
        s.kick_rate_limit = c.limit;
        s.kick_budget[0] = c.budget;
        s.kick_cooldown[0] = c.cooldown;
        step(s, {{0, 0, 2}});
        const bool kicked = s.discs[1].vel.x > 0;
        if (kicked != c.kicked || s.kick_budget[0] != c.budget_after) std::fprintf(stderr, "  case: %s\n", c.what);
        CHECK_EQ(kicked, c.kicked);
        CHECK_EQ(s.kick_budget[0], c.budget_after);
        CHECK_EQ(s.kick_cooldown[0], c.cooldown_after);
    }
}
