#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "match_state.hpp"

// Compiles a stadium text (.zsm JSON, UTF-8) and the two player counts into
// one MatchState at kickoff. On failure returns false, sets error to the
// reader's message and leaves out untouched. The caller has checked that
// 1 <= n_red + n_blue <= MAX_PLAYERS.
bool build_match_state(std::string_view text, std::uint64_t n_red, std::uint64_t n_blue, MatchState& out,
                       std::string& error);

// The built-in classic stadium, compiled into the module from data/classic.zsm.
std::string_view classic_stadium_text();
