#pragma once

// The contact step of the tick: one pass over the discs in index order, each
// meeting the discs after it and then the walls, with every response seeing
// what earlier responses of the same pass wrote.
//
// Two sweeps give the same results bit for bit. The plain one runs every
// test that the collision masks allow. The fast one skips the tests whose
// outcome is certainly "no contact" (it runs exactly the rest, in the same
// order): disc pairs whose squared distance, formed as disc_disc forms it,
// rules them out, and walls that the stadium's wall grid shows out of reach.

#include "match_state.hpp"

enum class Sweep {
    fast,
    plain,  // every mask-selected test: the reference the fast sweep is held to
};

// Which discs stand close enough to meet, kept by a run of ticks from one
// sweep to the next: at the first sweep (and again whenever a disc has
// strayed more than a margin from where it stood then) every pair of discs
// that are not static obstacles is measured, and only the pairs within the
// sum of their radii and twice the margin are tested until then. Valid only
// while nothing but the run's own ticks writes to the state.
struct PairNeighbours {
    bool measured = false;
    Vec2 anchor[64];         // where each disc stood when the pairs were measured
    std::uint64_t near[64];  // per disc, the discs that may be within reach
};

// Whether keeping neighbours pays for this state, whose plan is up to date.
bool pair_neighbours_pay(const MatchState& state);

// Both expect state.contact_plan to be up to date. `neighbours`, when given,
// belongs to the run of ticks the sweep is part of.
void sweep_contacts(MatchState& state, Sweep sweep, PairNeighbours* neighbours = nullptr);
