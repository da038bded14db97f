// The tick keeps the outcome of its mask tests and the wall normals from one
// tick to the next. Whatever changes between ticks must still be seen, and a
// kept plan must give exactly what a freshly derived one gives.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "contact_plan.hpp"
#include "game_flow.hpp"
#include "predict.hpp"
#include "stadium.hpp"
#include "states.hpp"
#include "tick.hpp"

using states::player;
using states::sign;
using states::slot;
using states::SplitMix64;

namespace {

std::optional<Team> step(MatchState& s, std::vector<PlayerAction> actions) {
    return tick(s, actions.data(), actions.size());
}

// A red player (radius 15) at y = 70 moving up at a steady 10 per tick
// towards the plane y = 100: its edge reaches the plane in the second tick.
MatchState player_under_plane() {
    MatchState s = states::make(states::ball_at({1000, -1000}), {}, {player(RED, {0, 70})});
    slot(s, 0).vel = {0, 10};
    slot(s, 0).damping = 1;
    s.planes = {states::plane({0, -1}, -100, 0)};
    return s;
}

}  // namespace

TEST(a_mask_written_between_ticks_is_obeyed_on_the_next_tick) {
    struct Case {
        const char* name;
        CollisionFlags mask;
        double y_after;  // the player's centre after the second tick
    };
    for (const Case c : {Case{"normal mask", PLAYER_CMASK, 85.0}, Case{"no mask", 0, 90.0},
                         Case{"wall only", group::WALL, 85.0}, Case{"ball only", group::BALL, 90.0}}) {
        MatchState s = player_under_plane();
        step(s, {{0, 0, 0}});
        CHECK_BITS(slot(s, 0).pos.y, 80.0);
        slot(s, 0).cMask = c.mask;  // as set_player_cmask does, after a tick
        step(s, {{0, 0, 0}});
        if (slot(s, 0).pos.y != c.y_after) check::fail(__FILE__, __LINE__, c.name);
    }
}

TEST(a_group_written_between_ticks_is_obeyed_by_pairs_and_kicks) {
    // Two overlapping red players separate only while their masks interact.
    MatchState s = states::make(states::ball_at({1000, 1000}), {}, {player(RED, {0, 0}), player(RED, {20, 0})});
    step(s, {{0, 0, 0}, {0, 0, 0}});
    CHECK_BITS(slot(s, 0).pos.x, -5.0);
    CHECK_BITS(slot(s, 1).pos.x, 25.0);
    slot(s, 1).cGroup = group::BLUE_KO;  // no longer in the mask of player 0
    slot(s, 1).pos = {0, 10};
    const Vec2 before = slot(s, 0).pos;
    step(s, {{0, 0, 0}, {0, 0, 0}});
    CHECK_BITS(slot(s, 0).pos.x, before.x);
    CHECK_BITS(slot(s, 0).pos.y, before.y);

    // A disc that loses the kick group is no longer kicked.
    MatchState k = states::make(states::ball_at({26, 0}), {}, {player(RED, {0, 0})});
    step(k, {{0, 0, 0}});
    k.discs[0].cGroup = group::BALL;
    step(k, {{0, 0, 1}});
    CHECK_BITS(k.discs[0].vel.x, 0.0);
    k.discs[0].cGroup = BALL_CGROUP;
    step(k, {{0, 0, 0}});
    step(k, {{0, 0, 1}});
    CHECK(k.discs[0].vel.x > 0.0);
}

TEST(an_inverse_mass_written_between_ticks_is_obeyed) {
    // Two overlapping obstacles: left alone while both are immovable,
    // separated once one of them can move.
    MatchState s =
        states::make(states::ball_at({1000, 1000}), {states::obstacle({0, 0}, 10, 0), states::obstacle({15, 0}, 10, 0)},
                     {player(RED, {-500, 0})});
    step(s, {{0, 0, 0}});
    CHECK_BITS(s.discs[1].pos.x, 0.0);
    CHECK_BITS(s.discs[2].pos.x, 15.0);
    s.discs[2].invMass = 1;
    step(s, {{0, 0, 0}});
    CHECK_BITS(s.discs[1].pos.x, 0.0);
    CHECK_BITS(s.discs[2].pos.x, 20.0);
    s.discs[2].invMass = 0;
    s.discs[2].pos.x = 15;
    step(s, {{0, 0, 0}});
    CHECK_BITS(s.discs[2].pos.x, 15.0);
}

TEST(walls_added_after_ticking_are_met) {
    MatchState s = player_under_plane();
    s.planes.clear();
    step(s, {{0, 0, 0}});
    s.planes = {states::plane({0, -1}, -100, 0)};
    step(s, {{0, 0, 0}});
    CHECK_BITS(slot(s, 0).pos.y, 85.0);
    // A segment in the way, added after two more ticks.
    s.planes.clear();
    slot(s, 0).pos = {0, 170};
    slot(s, 0).vel = {0, 10};
    step(s, {{0, 0, 0}});
    s.segments = {states::straight({-50, 200}, {50, 200}, 0, 0)};
    step(s, {{0, 0, 0}});
    CHECK_BITS(slot(s, 0).pos.y, 185.0);
}

TEST(a_wall_edited_in_place_is_met_once_the_plan_is_forgotten) {
    MatchState s = player_under_plane();
    step(s, {{0, 0, 0}});
    s.planes[0].cGroup = 0;
    s.planes[0].normal = {0, -7};  // the same line, as far as the tick can tell
    forget_contact_plan(s);
    step(s, {{0, 0, 0}});
    CHECK_BITS(slot(s, 0).pos.y, 90.0);
    s.planes[0].cGroup = group::WALL;
    forget_contact_plan(s);
    slot(s, 0).pos.y = 80;
    step(s, {{0, 0, 0}});
    CHECK_BITS(slot(s, 0).pos.y, 85.0);
}

// Discs, planes and segments past the first 64 of their kind live in later
// words of the plan's bit sets.
TEST(items_beyond_the_first_sixty_four_take_part) {
    constexpr std::size_t MANY = 70;
    std::vector<Disc> obstacles;
    for (std::size_t i = 0; i < MANY; ++i) {
        obstacles.push_back(states::obstacle({1000.0 + 50.0 * static_cast<double>(i), 500}, 10, 1));
    }
    // The last two obstacles overlap; the one before them is kickable and in reach.
    obstacles[MANY - 2].pos = {-300, 0};
    obstacles[MANY - 1].pos = {-290, 0};
    obstacles[MANY - 3] = states::obstacle({0, 65}, 10, 1, group::KICK, 0);
    MatchState s = states::make(states::ball_at({0, 0}, {0, 5}), obstacles, {player(RED, {0, 90})});
    slot(s, 0).acceleration = slot(s, 0).kickingAcceleration = 0;
    for (std::size_t i = 0; i < MANY; ++i) {
        const double x = 5000.0 + 10.0 * static_cast<double>(i);
        s.segments.push_back(states::straight({x, 0}, {x + 1, 0}));
        s.planes.push_back(states::plane({0, 1}, -5000, 0));
    }
    // The last segment and the last plane lie across the ball's path.
    s.segments.back() = states::straight({-50, 12}, {50, 12}, 0, 0);
    s.planes.back() = states::plane({-1, 0}, -3, 0);
    step(s, {{0, 0, 1}});
    const Disc& ball = s.discs[0];
    // The ball moves to y = 5; its edge would cross the segment at y = 12,
    // so it is pushed back to 2 and stopped.
    CHECK_BITS(ball.pos.y, 2.0);
    CHECK_BITS(ball.vel.y, 0.0);
    // Plane x <= 3 - 10: the ball is pushed from x = 0 to x = -7.
    CHECK_BITS(ball.pos.x, -7.0);
    CHECK_BITS(s.discs[MANY - 1].pos.x, -305.0);
    CHECK_BITS(s.discs[MANY].pos.x, -285.0);
    CHECK_BITS(s.discs[MANY - 2].vel.y, -5.0);  // kicked away from the player at y = 90
}

TEST(a_kept_plan_matches_one_derived_afresh_every_tick) {
    for (const auto& [n_red, n_blue] : {std::pair{1, 1}, std::pair{3, 3}, std::pair{4, 0}}) {
        MatchState kept;
        std::string error;
        REQUIRE(build_match_state(classic_stadium_text(), n_red, n_blue, kept, error));
        MatchState fresh = kept;
        SplitMix64 rng{0xfeed + static_cast<std::uint64_t>(n_red)};
        std::vector<PlayerAction> actions(kept.n_players);
        bool played = false;
        for (int t = 0; t < 6000; ++t) {
            // Half the players chase the ball, the rest press random keys.
            for (std::size_t j = 0; j < kept.n_players; ++j) {
                const Vec2 to_ball = kept.discs[0].pos - slot(kept, j).pos;
                actions[j] = rng.below(2) == 0 ? PlayerAction{sign(to_ball.x), sign(to_ball.y), rng.below(3)}
                                               : PlayerAction{rng.below(3) - 1, rng.below(3) - 1, rng.below(3)};
            }
            // Now and then a mask as a caller may set it between ticks.
            if (t % 997 == 500) {
                for (std::size_t j = 0; j < kept.n_players; ++j) slot(kept, j).cMask = slot(fresh, j).cMask = 0;
            }
            forget_contact_plan(fresh);
            const auto a = tick(kept, actions.data(), actions.size());
            const auto b = tick(fresh, actions.data(), actions.size());
            CHECK(a == b);
            played |= kept.phase == GamePhase::Playing;
        }
        CHECK(played);
        CHECK_EQ(states::hash(kept), states::hash(fresh));
    }
}

TEST(the_predictor_gives_the_same_path_with_and_without_a_plan) {
    MatchState s;
    std::string error;
    REQUIRE(build_match_state(classic_stadium_text(), 2, 2, s, error));
    REQUIRE(s.contact_plan.n_discs != 0);
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t t = 1; t <= 400; t += 3) offsets.push_back(t);
    for (const Vec2 vel : {Vec2{9, 4}, Vec2{-7, 11}, Vec2{13, -2}, Vec2{-3, -12}}) {
        s.discs[0].vel = vel;
        std::vector<Vec2> planned(offsets.size());
        predict_ball(s, offsets.data(), offsets.size(), planned.data());
        MatchState bare = s;
        forget_contact_plan(bare);
        std::vector<Vec2> formed(offsets.size());
        predict_ball(bare, offsets.data(), offsets.size(), formed.data());
        for (std::size_t k = 0; k < offsets.size(); ++k) {
            CHECK_BITS(planned[k].x, formed[k].x);
            CHECK_BITS(planned[k].y, formed[k].y);
        }
        // Free, the ball would travel some 900 units; the walls keep it in.
        for (const Vec2 p : planned) CHECK(std::fabs(p.x) <= 420.0 && std::fabs(p.y) <= 200.0);
    }
}
