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
#include "pair_lanes.hpp"

enum class Sweep {
    fast,
    plain,  // every mask-selected test: the reference the fast sweep is held to
};

// What a run of ticks keeps of its discs from one sweep to the next. Each
// disc that is not a static obstacle has an anchor, where it stood when its
// partners and walls were last looked up. While it stays within the wall
// grid's drift of its anchor, what was found there holds: the walls and
// static discs of the anchor's cell (the grid lists them for centres up to
// the drift outside a cell), and, of the other discs, those whose anchors
// lie within the sum of the radii and twice the drift of its own. A disc
// that strays further is looked up again on its own. Valid only while
// nothing but the run's own ticks writes to the state.
struct SweepAnchors {
    bool started = false;
    // Per disc, the anchor and its reach: |radius| + drift, or infinite
    // where the anchor lies too far out for the bound.
    AnchorColumns anchors;
    const std::uint64_t* cell[64];  // the walls of the anchor's cell
    // Per disc, the partners whose tests the anchors cannot rule out: for a
    // static disc, the discs whose cells list it; for another, the static
    // discs its cell lists and the other discs near its anchor.
    std::uint64_t in_reach[64];
    // The discs that have nothing to do unless a response moves a disc
    // before them: no partner their masks meet in reach, and, for discs that
    // meet walls, no wall their masks meet in their cell. This depends on
    // the mask tests of the plan as well, which a run may derive again.
    std::uint64_t quiet = 0;
    bool quiet_known = false;
};

// To be called when the plan's mask tests were derived again during the run.
inline void forget_quiet_discs(SweepAnchors& anchors) { anchors.quiet_known = false; }

// Both expect state.contact_plan to be up to date. `anchors`, when given,
// belongs to the run of ticks the sweep is part of.
void sweep_contacts(MatchState& state, Sweep sweep, SweepAnchors* anchors = nullptr);
