// Kickoff places, the two resets, the barrier masks, the goal test and the
// countdown, driven through the phase step directly.
#include <cstdint>
#include <limits>
#include <optional>

#include "check.hpp"
#include "engine_fault.hpp"
#include "game_flow.hpp"
#include "states.hpp"

using states::player;

namespace {

MatchState teams_of(std::size_t n_red, std::size_t n_blue) {
    std::vector<Disc> players;
    for (std::size_t i = 0; i < n_red; ++i) players.push_back(player(RED, {1, 1}));
    for (std::size_t i = 0; i < n_blue; ++i) players.push_back(player(BLUE, {1, 1}));
    return states::make(states::ball_at({3, 4}, {1, 1}), {states::obstacle({50, 60}, 8, 0)}, players);
}

// A goal line at x = 100 from y = -50 to y = 50, defended by `team`.
MatchState playing_with_goal(Team team) {
    MatchState s = teams_of(1, 1);
    s.goals.push_back({{100, -50}, {100, 50}, team});
    s.phase = GamePhase::Playing;
    return s;
}

}  // namespace

TEST(kickoff_places_follow_spawn_lists_then_alternate) {
    struct Case {
        std::size_t n_red, n_blue;
        std::vector<Vec2> red_spawns, blue_spawns;
        double spawn_distance;
        std::vector<Vec2> expected;  // slot order
    };
    const Case cases[] = {
        {3, 3, {}, {}, 277.5, {{-277.5, 0}, {-277.5, -55}, {-277.5, 55}, {277.5, 0}, {277.5, -55}, {277.5, 55}}},
        // The count continues after the list: the third and fourth red players
        // take y(2) and y(3), not y(0) and y(1).
        {4, 1, {{-10, 1}, {-20, 2}}, {}, 100, {{-10, 1}, {-20, 2}, {-100, 55}, {-100, -110}, {100, 0}}},
        // A list longer than the side is only partly used.
        {0, 2, {{-1, -1}}, {{5, 6}, {7, 8}, {9, 10}}, 277.5, {{5, 6}, {7, 8}}},
        {0, 6, {}, {}, 10, {{10, 0}, {10, -55}, {10, 55}, {10, -110}, {10, 110}, {10, -165}}},
    };
    for (const Case& c : cases) {
        MatchState s = teams_of(c.n_red, c.n_blue);
        s.red_spawn_points = c.red_spawns;
        s.blue_spawn_points = c.blue_spawns;
        s.spawn_distance = c.spawn_distance;
        reset_positions(s);
        for (std::size_t j = 0; j < c.expected.size(); ++j) {
            CHECK_BITS(states::slot(s, j).pos.x, c.expected[j].x);
            CHECK_BITS(states::slot(s, j).pos.y, c.expected[j].y);
        }
    }
}

TEST(reset_positions_clears_play_and_keeps_the_match) {
    MatchState s = teams_of(2, 1);
    for (std::size_t j = 0; j < 3; ++j) {
        states::slot(s, j).vel = {3, -2};
        states::slot(s, j).cMask = 47;
        s.kick_flag[j] = 1;
        s.kick_held[j] = 1;
        s.kick_cooldown[j] = 7;
        s.kick_budget[j] = -9;
    }
    s.discs[1].pos = {51, 61};  // an obstacle pushed aside stays where it is
    s.discs[1].vel = {2, 2};
    s.phase = GamePhase::GoalScored;
    s.goal_timer = 12;
    s.steps = 900;
    s.red_score = 3;
    s.blue_score = 4;
    s.kickoff_team = BLUE;
    s.kick_rate_limit = {5, 6, 7};

    MatchState fresh = s;
    reset_positions(s);
    reset_match(fresh);
    for (MatchState* r : {&s, &fresh}) {
        CHECK_BITS(r->discs[0].pos.x, 0.0);
        CHECK_BITS(r->discs[0].pos.y, 0.0);
        CHECK_BITS(r->discs[0].vel.x, 0.0);
        CHECK_BITS(r->discs[1].pos.x, 51.0);
        CHECK_BITS(r->discs[1].vel.x, 2.0);
        for (std::size_t j = 0; j < 3; ++j) {
            CHECK_BITS(states::slot(*r, j).vel.x, 0.0);
            CHECK_BITS(states::slot(*r, j).vel.y, 0.0);
            CHECK_EQ(states::slot(*r, j).cMask, PLAYER_CMASK);
            CHECK_EQ(r->kick_flag[j] + r->kick_held[j], 0);
            CHECK_EQ(r->kick_cooldown[j], std::int64_t{0});
            CHECK_EQ(r->kick_budget[j], std::int64_t{0});
        }
        CHECK(r->phase == GamePhase::Kickoff);
        CHECK_EQ(r->goal_timer, std::int64_t{0});
        // No reset restores the kick rate limit.
        CHECK_EQ(r->kick_rate_limit.cap, std::int64_t{7});
    }
    CHECK_EQ(s.steps, std::uint64_t{900});
    CHECK_EQ(s.red_score + s.blue_score, 7u);
    CHECK_EQ(s.kickoff_team, BLUE);
    CHECK_EQ(fresh.steps, std::uint64_t{0});
    CHECK_EQ(fresh.red_score + fresh.blue_score, 0u);
    CHECK_EQ(fresh.kickoff_team, RED);
}

TEST(kickoff_barrier_follows_the_kicking_side) {
    struct Case {
        Team kickoff_team;
        CollisionFlags barrier_mask;
    };
    for (const Case c : {Case{RED, 47}, Case{BLUE, 55}, Case{NO_TEAM, 55}}) {
        MatchState s = teams_of(2, 2);
        s.kickoff_team = c.kickoff_team;
        reset_positions(s);
        CHECK(!phase_step(s, {0, 0}, {0, 0}).has_value());
        for (std::size_t j = 0; j < 4; ++j) CHECK_EQ(states::slot(s, j).cMask, c.barrier_mask);
        CHECK(s.phase == GamePhase::Kickoff);  // a ball at rest keeps the kickoff

        // The tick that moves the ball sets the barrier once more and starts play.
        s.discs[0].vel = {0, -1e-100};
        CHECK(!phase_step(s, {0, 0}, {0, 0}).has_value());
        CHECK(s.phase == GamePhase::Playing);
        CHECK_EQ(states::slot(s, 3).cMask, c.barrier_mask);
        CHECK(!phase_step(s, {0, 0}, {0, 0}).has_value());
        for (std::size_t j = 0; j < 4; ++j) CHECK_EQ(states::slot(s, j).cMask, PLAYER_CMASK);
    }
}

TEST(kickoff_ends_when_the_squared_ball_speed_is_positive) {
    struct Case {
        Vec2 vel;
        GamePhase after;
    };
    const Case cases[] = {
        {{0, -1e-100}, GamePhase::Playing},
        {{std::nan(""), 0}, GamePhase::Kickoff},
        // vel·vel decides, and 1e-300 squared is 0 in double.
        {{1e-300, 0}, GamePhase::Kickoff},
    };
    for (const Case& c : cases) {
        MatchState s = teams_of(1, 0);
        reset_positions(s);
        s.discs[0].vel = c.vel;
        phase_step(s, {0, 0}, {0, 0});
        CHECK(s.phase == c.after);
    }
}

TEST(goal_test_decides_crossings) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const Goal upright = {{100, -50}, {100, 50}, BLUE};
    const Goal slanted = {{100, -50}, {110, 50}, BLUE};
    struct Case {
        const char* what;
        Goal goal;
        Vec2 b0, b1;
        bool scores;
    };
    const Case cases[] = {
        {"straight through the middle", upright, {90, 0}, {110, 0}, true},
        {"backwards out of the goal", upright, {110, 10}, {90, 10}, true},
        {"exactly through the post point", upright, {90, 40}, {110, 60}, true},
        {"just past the post", upright, {90, 41}, {110, 61}, false},
        {"ending exactly on the line", upright, {90, 0}, {100, 0}, true},
        {"lying still on the line between the posts", upright, {100, 20}, {100, 20}, true},
        // Both products are 0 anywhere on the infinite line through the posts.
        {"lying still on the line beyond a post", upright, {100, 300}, {100, 300}, true},
        {"stopping short of the line", upright, {80, 0}, {99.999, 0}, false},
        {"parallel, in front", upright, {90, -60}, {90, 60}, false},
        {"through a slanted line", slanted, {90, 0}, {110, 0}, true},
        {"nan position", upright, {nan, 0}, {110, 0}, false},
        {"nan after the sweep", upright, {90, 0}, {nan, nan}, false},
        // 0 times infinity is NaN in one product while the other passes.
        {"from infinity onto the line, path test nan", slanted, {100, -inf}, {100, 0}, false},
        {"from infinity onto the line, line test nan", upright, {-inf, 0}, {100, 0}, false},
    };
    for (const Case& c : cases) {
        MatchState s = playing_with_goal(BLUE);
        s.goals = {c.goal};
        const std::optional<Team> r = phase_step(s, c.b0, c.b1);
        if (r.has_value() != c.scores) std::fprintf(stderr, "  case: %s\n", c.what);
        CHECK_EQ(r.has_value(), c.scores);
        CHECK_EQ(s.phase == GamePhase::GoalScored, c.scores);
    }
}

TEST(a_goal_scores_for_the_other_side_and_hands_it_the_kickoff) {
    struct Case {
        Team defender;
        std::uint32_t red, blue;
    };
    for (const Case c : {Case{RED, 0, 1}, Case{BLUE, 1, 0}, Case{NO_TEAM, 1, 0}}) {
        MatchState s = playing_with_goal(c.defender);
        states::slot(s, 0).cMask = 47;
        const std::optional<Team> r = phase_step(s, {90, 0}, {110, 0});
        REQUIRE(r.has_value());
        CHECK_EQ(*r, c.defender);
        CHECK_EQ(s.red_score, c.red);
        CHECK_EQ(s.blue_score, c.blue);
        CHECK_EQ(s.kickoff_team, c.defender);
        CHECK_EQ(s.goal_timer, std::int64_t{150});
        CHECK_EQ(states::slot(s, 0).cMask, PLAYER_CMASK);
    }
}

TEST(only_the_first_goal_crossed_counts) {
    MatchState s = playing_with_goal(RED);
    s.goals.push_back({{105, -50}, {105, 50}, BLUE});
    s.goals.insert(s.goals.begin(), Goal{{-100, -50}, {-100, 50}, BLUE});  // not crossed
    const std::optional<Team> r = phase_step(s, {90, 0}, {110, 0});
    REQUIRE(r.has_value());
    CHECK_EQ(*r, RED);
    CHECK_EQ(s.blue_score, 1u);
    CHECK_EQ(s.red_score, 0u);
}

TEST(goals_count_only_while_playing) {
    for (GamePhase phase : {GamePhase::Kickoff, GamePhase::GoalScored}) {
        MatchState s = playing_with_goal(RED);
        s.phase = phase;
        s.goal_timer = 100;
        CHECK(!phase_step(s, {90, 0}, {110, 0}).has_value());
        CHECK_EQ(s.red_score + s.blue_score, 0u);
    }
}

TEST(countdown_ends_with_a_kickoff_reset) {
    MatchState s = playing_with_goal(RED);
    REQUIRE(phase_step(s, {90, 0}, {110, 0}).has_value());
    states::slot(s, 0).cMask = 1234;  // a mask set from outside lasts the countdown
    for (int i = 1; i < 150; ++i) phase_step(s, {0, 0}, {0, 0});
    CHECK(s.phase == GamePhase::GoalScored);
    CHECK_EQ(s.goal_timer, std::int64_t{1});
    CHECK_BITS(s.discs[0].pos.x, 3.0);
    CHECK_EQ(states::slot(s, 0).cMask, CollisionFlags{1234});
    phase_step(s, {0, 0}, {0, 0});
    CHECK(s.phase == GamePhase::Kickoff);
    CHECK_BITS(s.discs[0].pos.x, 0.0);
    CHECK_BITS(states::slot(s, 0).pos.x, -277.5);
    CHECK_EQ(states::slot(s, 0).cMask, PLAYER_CMASK);
    CHECK_EQ(s.blue_score, 1u);
}

TEST(counters_saturate_on_extreme_stored_values) {
    MatchState s = playing_with_goal(BLUE);
    s.red_score = std::numeric_limits<std::uint32_t>::max();
    REQUIRE(phase_step(s, {90, 0}, {110, 0}).has_value());
    CHECK_EQ(s.red_score, std::numeric_limits<std::uint32_t>::max());

    s.goal_timer = std::numeric_limits<std::int64_t>::min();
    phase_step(s, {0, 0}, {0, 0});
    CHECK(s.phase == GamePhase::Kickoff);
}

TEST(broken_states_are_refused_before_any_change) {
    const auto breakers = {
        +[](MatchState& s) { s.discs.clear(); },
        +[](MatchState& s) { s.discs.pop_back(); },
        +[](MatchState& s) { s.first_player = 0; },
        +[](MatchState& s) { s.n_players = std::numeric_limits<std::uint64_t>::max(); },
        +[](MatchState& s) { s.first_player = std::numeric_limits<std::uint64_t>::max(); },
        +[](MatchState& s) { s.kick_budget.pop_back(); },
        +[](MatchState& s) { s.kick_held.push_back(0); },
    };
    int refused = 0;
    for (auto breaker : breakers) {
        MatchState s = playing_with_goal(RED);
        breaker(s);
        const std::uint64_t before = states::hash(s);
        for (int op = 0; op < 3; ++op) {
            try {
                if (op == 0) reset_positions(s);
                if (op == 1) reset_match(s);
                if (op == 2) phase_step(s, {90, 0}, {110, 0});
            } catch (const EngineFault&) {
                ++refused;
            }
            CHECK_EQ(states::hash(s), before);
        }
    }
    CHECK_EQ(refused, 7 * 3);
}

TEST(an_unknown_phase_is_refused_by_the_phase_step) {
    MatchState s = playing_with_goal(RED);
    s.phase = static_cast<GamePhase>(7);
    const std::uint64_t before = states::hash(s);
    bool refused = false;
    try {
        phase_step(s, {90, 0}, {110, 0});
    } catch (const EngineFault&) {
        refused = true;
    }
    CHECK(refused);
    CHECK_EQ(states::hash(s), before);
    reset_positions(s);  // a reset always leads back to a known phase
    CHECK(s.phase == GamePhase::Kickoff);
}
