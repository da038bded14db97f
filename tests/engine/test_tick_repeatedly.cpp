// Ticks under held actions, as the batch steps an env: exactly what the same
// number of single ticks gives, stopping at the tick that scores.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine_fault.hpp"
#include "stadium.hpp"
#include "states.hpp"
#include "tick.hpp"

using states::sign;
using states::slot;
using states::SplitMix64;

namespace {

// Chasers towards the ball, kicking when close, so that goals and kickoffs
// happen; now and then a random key. Two slots in three press their keys
// harder (an input of 2 or 3 per axis), which only the formula turns into a
// direction.
std::vector<PlayerAction> chase(const MatchState& s, SplitMix64& rng) {
    std::vector<PlayerAction> actions(s.n_players);
    for (std::size_t j = 0; j < s.n_players; ++j) {
        const Disc& p = s.discs[s.first_player + j];
        const Vec2 to_ball = s.discs[0].pos - p.pos;
        if (rng.below(5) == 0) {
            actions[j] = {rng.below(3) - 1, rng.below(3) - 1, rng.below(3)};
        } else {
            const double push = p.team == RED ? 30.0 : -30.0;  // come from behind the ball
            actions[j] = {sign(to_ball.x - push), sign(to_ball.y), dot(to_ball, to_ball) < 40.0 * 40.0 ? 2 : 0};
        }
        const std::int64_t press = 1 + static_cast<std::int64_t>(j % 3);
        actions[j].dx *= press;
        actions[j].dy *= press;
    }
    return actions;
}

}  // namespace

TEST(held_ticks_match_single_ticks_through_goals_kickoffs_and_outside_writes) {
    for (const auto& [n_red, n_blue] : {std::pair{1, 1}, std::pair{3, 3}, std::pair{2, 5}}) {
        MatchState held;
        std::string error;
        REQUIRE(build_match_state(classic_stadium_text(), n_red, n_blue, held, error));
        MatchState single = held;
        SplitMix64 rng{0xabc + static_cast<std::uint64_t>(n_blue)};
        std::uint64_t goals = 0;
        for (int call = 0; call < 1500; ++call) {
            // Writes a caller may make between steps: masks, and a set state.
            if (call % 211 == 100) {
                for (std::size_t j = 0; j < held.n_players; ++j) slot(held, j).cMask = slot(single, j).cMask = 0;
            }
            if (call % 307 == 200) held.phase = single.phase = GamePhase::Playing;
            const std::vector<PlayerAction> actions = chase(held, rng);
            const std::uint64_t max_ticks = 1 + static_cast<std::uint64_t>(call % 9);
            const TickRun run = tick_repeatedly(held, actions.data(), actions.size(), max_ticks);

            std::uint64_t ticks = 0;
            std::optional<Team> goal;
            while (ticks < max_ticks && !goal) {
                goal = tick(single, actions.data(), actions.size());
                ++ticks;
            }
            CHECK_EQ(run.ticks, ticks);
            CHECK(run.goal == goal);
            goals += goal.has_value();
            CHECK_EQ(states::hash(held), states::hash(single));
        }
        CHECK(goals >= 2);  // the script scores, so kickoff resets were run
    }
}

TEST(no_ticks_changes_nothing_and_a_short_action_list_is_refused) {
    MatchState s;
    std::string error;
    REQUIRE(build_match_state(classic_stadium_text(), 2, 2, s, error));
    const std::uint64_t before = states::hash(s);
    const std::vector<PlayerAction> actions(4, PlayerAction{1, 1, 1});
    const TickRun none = tick_repeatedly(s, actions.data(), actions.size(), 0);
    CHECK_EQ(none.ticks, std::uint64_t{0});
    CHECK(!none.goal);
    CHECK_EQ(states::hash(s), before);

    std::string message;
    try {
        tick_repeatedly(s, actions.data(), 3, 8);
    } catch (const EngineFault& fault) {
        message = fault.what();
    }
    CHECK_EQ(message, std::string("tick_repeatedly: 3 actions for 4 players"));
    CHECK_EQ(states::hash(s), before);
}

// A sequence whose actions change on every tick, as the benchmark loop
// changes them, ticks exactly as single ticks do, through goals and the
// masks that the game flow writes.
TEST(a_tick_sequence_with_changing_actions_matches_single_ticks) {
    MatchState seq;
    std::string error;
    REQUIRE(build_match_state(classic_stadium_text(), 3, 2, seq, error));
    MatchState single = seq;
    SplitMix64 rng{0x5e9};
    std::vector<PlayerAction> buffer(seq.n_players);
    TickSequence ticks(seq, buffer.data(), buffer.size());
    std::uint64_t goals = 0;
    for (int t = 0; t < 6000; ++t) {
        const std::vector<PlayerAction> keys = chase(seq, rng);
        std::copy(keys.begin(), keys.end(), buffer.begin());  // in place: the sequence reads this buffer
        const std::optional<Team> a = ticks.next();
        const std::optional<Team> b = tick(single, buffer.data(), buffer.size());
        CHECK(a == b);
        goals += a.has_value();
    }
    CHECK(goals >= 2);
    CHECK_EQ(states::hash(seq), states::hash(single));

    std::string message;
    try {
        TickSequence refused(seq, buffer.data(), 2);
    } catch (const EngineFault& fault) {
        message = fault.what();
    }
    CHECK_EQ(message, std::string("tick_sequence: 2 actions for 5 players"));
}
