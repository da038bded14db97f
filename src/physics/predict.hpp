#pragma once

#include <cstddef>
#include <cstdint>

#include "match_state.hpp"

// Runs a private copy of the ball alone (obstacle discs frozen, players
// ignored) and writes its position after offsets[k] ticks into out[k] for the
// ascending prefix of offsets; every later entry gets the position after the
// largest offset. The state is not changed.
void predict_ball(const MatchState& state, const std::uint64_t* offsets, std::size_t k, Vec2* out);
