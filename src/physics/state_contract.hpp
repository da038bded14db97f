#pragma once

// The engine's loops index discs and the per-player sequences by slot without
// bounds checks. Every entry point checks the few counts that this relies on
// first, so that a state handed in broken stops with an EngineFault before it
// is read out of range or half changed.

#include <string>

#include "engine_fault.hpp"
#include "match_state.hpp"

inline void require_consistent_state(const MatchState& state, const char* operation) {
    const auto fail = [operation](const std::string& what) { throw EngineFault(std::string(operation) + ": " + what); };
    const std::size_t n_discs = state.discs.size();
    if (n_discs == 0) fail("the state has no discs");
    // Written without the sum first_player + n_players, which could wrap.
    if (state.first_player < 1 || state.first_player > n_discs || n_discs - state.first_player != state.n_players) {
        fail("first_player (" + std::to_string(state.first_player) + ") + n_players (" +
             std::to_string(state.n_players) + ") must equal the number of discs (" + std::to_string(n_discs) +
             "), with the ball before the first player");
    }
    const std::uint64_t n = state.n_players;
    if (state.kick_flag.size() != n || state.kick_held.size() != n || state.kick_cooldown.size() != n ||
        state.kick_budget.size() != n) {
        fail("the kick sequences must hold exactly n_players (" + std::to_string(n) + ") entries each");
    }
}
