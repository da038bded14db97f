#pragma once

#include <optional>

#include "match_state.hpp"

// Ball to the centre, players to their kickoff places, kick state cleared,
// player masks 39, phase Kickoff. Scores, steps and kickoff_team stay.
void reset_positions(MatchState& state);

// A fresh game: reset_positions, scores 0, steps 0, red kicks off.
void reset_match(MatchState& state);

// The end of every tick: kickoff barrier, goal test, countdown. b0 and b1 are
// the ball's centre before the tick moved it and after the contact sweep.
// Returns the conceding team of a goal scored in this tick.
std::optional<Team> phase_step(MatchState& state, Vec2 b0, Vec2 b1);

// phase_step for a caller that has checked the state with
// require_consistent_state already (the tick does, once per tick).
// `player_masks_current`: the caller knows that the player masks hold what
// this step would write to them (the step before wrote them, in the same
// phase and for the same kicking-off team, and nothing has since), so the
// step leaves them as they are.
std::optional<Team> advance_phase(MatchState& state, Vec2 b0, Vec2 b1, bool player_masks_current = false);
