// The nine common movement inputs take a precomputed direction; it must be
// bit for bit the one the formula gives, which an input scaled by a power of
// two still takes (a square root and a division by 2^k are exact rescalings).
#include <cmath>
#include <cstdint>

#include "check.hpp"
#include "states.hpp"
#include "tick.hpp"

namespace {

Disc after_one_tick(std::int64_t dx, std::int64_t dy, std::int64_t kick) {
    Disc p = states::player(RED, {0, 0});
    p.acceleration = 0.3;
    p.kickingAcceleration = 0.7;
    MatchState s = states::make(states::ball_at({1000, 1000}), {}, {p});
    const PlayerAction action{dx, dy, kick};
    tick(s, &action, 1);
    return s.discs[s.first_player];
}

}  // namespace

TEST(each_small_input_moves_exactly_as_the_formula_says) {
    for (std::int64_t dy = -1; dy <= 1; ++dy) {
        for (std::int64_t dx = -1; dx <= 1; ++dx) {
            for (const std::int64_t kick : {0, 1}) {
                const Disc small = after_one_tick(dx, dy, kick);
                for (const std::int64_t scale : {2, 4, 1 << 20}) {
                    const Disc scaled = after_one_tick(dx * scale, dy * scale, kick);
                    CHECK_BITS(small.vel.x, scaled.vel.x);
                    CHECK_BITS(small.vel.y, scaled.vel.y);
                    CHECK_BITS(small.pos.x, scaled.pos.x);
                    CHECK_BITS(small.pos.y, scaled.pos.y);
                }
            }
        }
    }
    // The diagonal is 1/sqrt(2) of the acceleration per axis; no input, no move.
    const Disc diagonal = after_one_tick(1, -1, 0);
    CHECK_BITS(diagonal.pos.x, 0.3 * (1.0 / std::sqrt(2.0)));
    CHECK_BITS(diagonal.pos.y, -diagonal.pos.x);
    const Disc still = after_one_tick(0, 0, 0);
    CHECK_BITS(still.pos.x, 0.0);
    CHECK_BITS(still.pos.y, 0.0);
}
