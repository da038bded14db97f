#pragma once

// What the tick would otherwise work out again on every tick: which disc
// pairs and which walls pass the collision-mask test, which discs are
// kickable, the unit normals of the planes and straight segments, and which
// walls are within reach of each part of the stadium (wall_grid.hpp).
//
// All of it depends only on the geometry, on each disc's cGroup and cMask,
// and on which discs are immovable. Masks change rarely (a kickoff, a reset,
// a mask set from Python), so the plan lives beside the match and the tick
// derives it afresh only when one of these, or the number of discs, planes
// or segments, differs from what it was derived for. Copying a MatchState
// copies its plan, which stays valid for the copy. What depends on the
// geometry alone is built once and shared, read-only, by all the copies: the
// envs of a batch hold one block of it between them.
//
// The geometry of a match is fixed once it is built. Code that edits a plane
// or a segment in place after the match has ticked must call
// forget_contact_plan().

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "collision.hpp"
#include "collision_flags.hpp"
#include "vec2.hpp"
#include "wall_grid.hpp"

struct MatchState;

// What the plan last saw of one disc: its collision masks and whether it is
// immovable (invMass == 0; two such discs never affect each other).
struct DiscMasks {
    CollisionFlags cGroup;
    CollisionFlags cMask;
    bool immovable;
};

// The part of the plan that depends on the walls alone.
struct WallStatics {
    std::vector<Vec2> plane_normals;          // normal / |normal|, per plane
    std::vector<StraightAxis> straight_axes;  // per segment; unused for arcs
    WallGrid grid;
};

struct ContactPlan {
    // What the plan was derived for; n_discs == 0 means not derived yet
    // (a match always has a ball).
    std::size_t n_discs = 0;
    std::size_t n_planes = 0;
    std::size_t n_segments = 0;
    std::vector<DiscMasks> masks;

    // Bit sets, 64 items per word, so that walking the set bits upwards
    // visits items in index order, as the sweep must. Each disc owns
    // `stride` words of `bits`: its partners (the discs after it whose masks
    // interact with its own), then the planes, then the segments its masks
    // meet.
    std::size_t disc_words = 0;
    std::size_t plane_words = 0;
    std::size_t segment_words = 0;
    std::size_t stride = 0;
    std::vector<std::uint64_t> bits;
    std::vector<std::uint64_t> kickable;  // discs whose cGroup holds the kick group

    // Never null once the plan is derived.
    std::shared_ptr<const WallStatics> walls;
    // The static discs of walls->grid that stand where the grid has them
    // (bits by disc index), as refresh_contact_plan last found them.
    std::uint64_t statics_in_place = 0;
};

// Makes state.contact_plan agree with the state's discs, their masks and the
// number of walls. Allocates only when the counts changed (or on the first
// call); a failed allocation leaves the previous plan in place.
void refresh_contact_plan(MatchState& state);

// The same for a state in which, since the plan was last brought up to
// date, nothing but player masks can have changed (the game flow writes no
// other field the plan depends on): compares those alone. Returns whether
// the mask tests were derived again.
bool refresh_contact_plan_for_players(MatchState& state);

// Drops the plan, so that the next tick derives it from scratch.
void forget_contact_plan(MatchState& state);

// The bytes the plan holds outside the MatchState record for this env alone,
// and those of the block it shares with its copies.
std::size_t contact_plan_heap_bytes(const ContactPlan& plan);
std::size_t contact_plan_shared_bytes(const ContactPlan& plan);
