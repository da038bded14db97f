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

// Both expect state.contact_plan to be up to date.
void sweep_contacts(MatchState& state, Sweep sweep);
