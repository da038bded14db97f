#pragma once

#include <cstddef>
#include <optional>

#include "match_state.hpp"

// Advances one env by one physics tick. actions[j] belongs to player slot j;
// n_actions must be at least state.n_players (EngineFault otherwise).
// Returns the conceding team when the ball crossed a goal line in this tick.
std::optional<Team> tick(MatchState& state, const PlayerAction* actions, std::size_t n_actions);
