#include "contact_sweep.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "bit_words.hpp"
#include "collision.hpp"
#include "contact_plan.hpp"
#include "pair_lanes.hpp"

namespace {

// The plain sweep. Disc A's position and velocity stay in locals while its
// contacts run (no other disc of the sweep can be A), which spares the
// reloads that the possibility of aliasing would force.
void sweep_plain(MatchState& state) {
    const ContactPlan& plan = state.contact_plan;
    const WallStatics& walls = *plan.walls;
    Disc* discs = state.discs.data();
    const Plane* planes = state.planes.data();
    const Segment* segments = state.segments.data();
    for (std::size_t i = 0; i < plan.n_discs; ++i) {
        Disc& a = discs[i];
        Vec2 pos = a.pos;
        Vec2 vel = a.vel;
        const double radius = a.radius;
        const double inv_mass = a.invMass;
        const double bcoef = a.bCoef;
        const std::uint64_t* partners = plan.bits.data() + i * plan.stride;
        for (std::size_t k = i + 1; k < plan.n_discs; ++k) {
            if (((partners[k / 64] >> (k % 64)) & 1) == 0) continue;
            Disc& b = discs[k];
            disc_disc(pos, b.pos, vel, b.vel, radius, b.radius, inv_mass, b.invMass, bcoef, b.bCoef);
        }
        // Walls never move an immovable disc; NaN is not immovable.
        if (inv_mass != 0.0) {
            const std::uint64_t* wall_planes = partners + plan.disc_words;
            for_each_bit(wall_planes, plan.plane_words, [&](std::size_t p) {
                const Plane& plane = planes[p];
                disc_plane_unit(pos, walls.plane_normals[p], vel, plane.dist, radius, bcoef, plane.bCoef);
            });
            for_each_bit(wall_planes + plan.plane_words, plan.segment_words, [&](std::size_t s) {
                disc_segment(pos, vel, radius, bcoef, segments[s], walls.straight_axes[s]);
            });
        }
        a.pos = pos;
        a.vel = vel;
    }
}

// The fast sweep keeps every disc's partners in one word.
constexpr std::size_t MAX_FAST_DISCS = MAX_LANE_DISCS;
// Up to this many discs, pairs are tested one by one.
constexpr std::size_t MAX_DISCS_ONE_BY_ONE = 16;

// Anchors beyond this coordinate get every partner: up to it, the rounding
// of a difference of places stays far below the 2^-20 of the bounds below.
constexpr double ANCHOR_LIMIT = 0x1p30;

std::uint64_t all_discs(std::size_t n) { return n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1; }

// Sets disc k's anchor where it stands now, with its reach and cell, and
// returns the static discs its cell lists.
std::uint64_t set_anchor(SweepAnchors& a, const WallGrid& grid, std::uint64_t statics, const Disc* discs,
                         std::size_t k) {
    const Disc& d = discs[k];
    a.anchors.x[k] = d.pos.x;
    a.anchors.y[k] = d.pos.y;
    const bool placed = std::fabs(d.pos.x) < ANCHOR_LIMIT && std::fabs(d.pos.y) < ANCHOR_LIMIT;
    // NaN and infinite radii, and discs far out, reach everything.
    a.anchors.reach[k] = placed ? std::fabs(d.radius) + grid.drift : std::numeric_limits<double>::infinity();
    a.cell[k] = grid.walls_near(d.pos, d.radius);
    // The cell's bound holds for radii from 0 up to its reach.
    return d.radius >= 0.0 ? a.cell[k][grid.static_word] & statics : statics;
}

// Those of `candidates` (discs from `first` on, k not among them) near
// disc k's anchor. For two discs within the drift of their anchors to touch
// (d2 <= (ra + rb)^2), their anchors must lie within |ra| + |rb| + 2 * drift;
// a pair is left out only when the square of that, widened far above the
// rounding on either side, is exceeded.
[[gnu::always_inline]] inline std::uint64_t near_anchor_of(const SweepAnchors& a, std::uint64_t candidates,
                                                           std::size_t first, std::size_t n, std::size_t k) {
    const Vec2 place = {a.anchors.x[k], a.anchors.y[k]};
    const double reach = a.anchors.reach[k];
    if (n > MAX_DISCS_ONE_BY_ONE) return PAIR_LANES.near_anchors(a.anchors, first, n, place, reach) & candidates;
    // For few discs, one by one costs less than the call and the blocks.
    std::uint64_t near = 0;
    for (std::uint64_t left = candidates; left != 0; left &= left - 1) {
        const std::size_t j = static_cast<std::size_t>(std::countr_zero(left));
        const Vec2 gap = place - Vec2{a.anchors.x[j], a.anchors.y[j]};
        const double t = reach + a.anchors.reach[j];
        if (!(dot(gap, gap) > (t * t) * (1.0 + 0x1p-20))) near |= std::uint64_t{1} << j;
    }
    return near;
}

// Whether disc i has nothing to do in a sweep in which no response has
// moved a disc before it: no partner its masks meet is in reach, and, unless
// it is a static disc (which meets no walls), no wall its masks meet is
// listed in its cell.
bool is_quiet(const SweepAnchors& a, const ContactPlan& plan, std::uint64_t statics, std::size_t i) {
    const std::uint64_t* masks = plan.bits.data() + i * plan.stride;
    if ((masks[0] & a.in_reach[i]) != 0) return false;
    if (((statics >> i) & 1) != 0) return true;
    const std::uint64_t* walls = masks + plan.disc_words;
    for (std::size_t w = 0; w < plan.plane_words + plan.segment_words; ++w) {
        if ((walls[w] & a.cell[i][w]) != 0) return false;
    }
    return true;
}

void update_quiet(SweepAnchors& a, const ContactPlan& plan, std::uint64_t statics, std::uint64_t discs_changed) {
    for (std::uint64_t bits = discs_changed; bits != 0; bits &= bits - 1) {
        const std::size_t i = static_cast<std::size_t>(std::countr_zero(bits));
        const std::uint64_t bit = std::uint64_t{1} << i;
        a.quiet = is_quiet(a, plan, statics, i) ? a.quiet | bit : a.quiet & ~bit;
    }
}

// update_quiet for every disc, where the walls take one word of planes and
// one of segments: the discs of a run, once per run, without a branch per
// disc on which of them are quiet.
std::uint64_t quiet_discs_one_word(const SweepAnchors& a, const ContactPlan& plan, std::uint64_t statics,
                                   std::size_t n) {
    std::uint64_t quiet = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t* masks = plan.bits.data() + i * plan.stride;
        const bool is_static = ((statics >> i) & 1) != 0;
        // Static discs meet no walls, and their cells are not kept.
        const std::uint64_t walls_met = is_static ? 0 : (masks[1] & a.cell[i][0]) | (masks[2] & a.cell[i][1]);
        quiet |= static_cast<std::uint64_t>(((masks[0] & a.in_reach[i]) | walls_met) == 0) << i;
    }
    return quiet;
}

// Looks disc k up again where it stands now. Partnership is mutual, so k's
// bit is set or cleared in every disc whose partnership with k changed.
void re_anchor(SweepAnchors& a, const ContactPlan& plan, std::uint64_t statics, std::uint64_t others, const Disc* discs,
               std::size_t n, std::size_t k) {
    const WallGrid& grid = plan.walls->grid;
    const std::uint64_t bit = std::uint64_t{1} << k;
    const std::uint64_t near = set_anchor(a, grid, statics, discs, k) | near_anchor_of(a, others & ~bit, 0, n, k);
    const std::uint64_t changed = near ^ a.in_reach[k];
    for (std::uint64_t bits = changed; bits != 0; bits &= bits - 1) a.in_reach[std::countr_zero(bits)] ^= bit;
    a.in_reach[k] = near;
    if (a.quiet_known) update_quiet(a, plan, statics, changed | bit);
}

// Brings every disc's anchor up to date for this sweep. A disc whose place
// is NaN never stays within the drift, so it is looked up on every sweep.
void follow_anchors(SweepAnchors& a, const ContactPlan& plan, const Disc* discs) {
    const WallGrid& grid = plan.walls->grid;
    const std::uint64_t statics = plan.statics_in_place;
    const std::size_t n = plan.n_discs;
    const std::uint64_t others = all_discs(n) & ~statics;
    if (!a.started) {
        a.started = true;
        // The lanes read whole blocks: what lies past the discs, or in the
        // entries of static discs, is masked off, but is set all the same.
        if (n > MAX_DISCS_ONE_BY_ONE) {
            for (std::size_t k = 0; k < n + PAIR_LANES_WIDTH; ++k)
                a.anchors.x[k] = a.anchors.y[k] = a.anchors.reach[k] = 0.0;
        }
        for (std::uint64_t bits = statics; bits != 0; bits &= bits - 1) a.in_reach[std::countr_zero(bits)] = 0;
        for (std::uint64_t left = others; left != 0; left &= left - 1) {
            const std::size_t k = static_cast<std::size_t>(std::countr_zero(left));
            const std::uint64_t near = set_anchor(a, grid, statics, discs, k);
            a.in_reach[k] = near;
            for (std::uint64_t bits = near; bits != 0; bits &= bits - 1)
                a.in_reach[std::countr_zero(bits)] |= std::uint64_t{1} << k;
        }
        for (std::uint64_t left = others; left != 0; left &= left - 1) {
            const std::size_t k = static_cast<std::size_t>(std::countr_zero(left));
            const std::uint64_t later = left & (left - 1);
            if (later == 0) break;
            const std::uint64_t near = near_anchor_of(a, later, k + 1, n, k);
            a.in_reach[k] |= near;
            for (std::uint64_t bits = near; bits != 0; bits &= bits - 1)
                a.in_reach[std::countr_zero(bits)] |= std::uint64_t{1} << k;
        }
    } else {
        const double drift2 = grid.drift * grid.drift;
        for (std::uint64_t left = others; left != 0; left &= left - 1) {
            const std::size_t k = static_cast<std::size_t>(std::countr_zero(left));
            const Vec2 d = discs[k].pos - Vec2{a.anchors.x[k], a.anchors.y[k]};
            if (!(dot(d, d) <= drift2)) [[unlikely]]
                re_anchor(a, plan, statics, others, discs, n, k);
        }
    }
    if (!a.quiet_known) [[unlikely]] {
        if (plan.disc_words == 1 && plan.plane_words == 1 && plan.segment_words == 1) {
            a.quiet = quiet_discs_one_word(a, plan, statics, n);
        } else {
            a.quiet = 0;
            update_quiet(a, plan, statics, all_discs(n));
        }
        a.quiet_known = true;
    }
}

// The same for a single sweep: every disc looked up where it stands, every
// other disc its partner.
void look_up_once(SweepAnchors& a, const WallGrid& grid, std::uint64_t statics, const Disc* discs, std::size_t n) {
    for (std::uint64_t bits = statics; bits != 0; bits &= bits - 1) a.in_reach[std::countr_zero(bits)] = 0;
    const std::uint64_t others = all_discs(n) & ~statics;
    std::uint64_t listed = 0;
    for (std::uint64_t left = others; left != 0; left &= left - 1) {
        const std::size_t k = static_cast<std::size_t>(std::countr_zero(left));
        const Disc& d = discs[k];
        a.cell[k] = grid.walls_near(d.pos, d.radius);
        const std::uint64_t near = d.radius >= 0.0 ? a.cell[k][grid.static_word] & statics : statics;
        a.in_reach[k] = ~statics | near;
        for (std::uint64_t bits = near; bits != 0; bits &= bits - 1)
            a.in_reach[std::countr_zero(bits)] |= std::uint64_t{1} << k;
        listed |= near;
    }
    // Of the static discs, those no cell lists are quiet.
    a.quiet = statics & ~listed;
}

// Disc A's pairs with the discs after it, one test per selected partner:
// for few discs the branch on each bit, nearly always the same, costs less
// than filling lanes. Once a response has moved A, what ruled its later
// partners out no longer holds, and every partner its masks allow
// (`mask_partners`) is tested from there on. A partner that a response
// moves gets its bit in `moved`. Returns whether A was moved.
[[gnu::always_inline]] inline bool pairs_one_by_one(Disc* discs, std::uint64_t& moved, std::uint64_t partners,
                                                    std::uint64_t mask_partners, Vec2& pos, Vec2& vel, double radius,
                                                    double inv_mass, double bcoef) {
    if (partners == 0) return false;
    bool touched = false;
    // From the first partner to the last: the discs between them are those
    // whose bits are tested.
    std::size_t last = 63 - static_cast<std::size_t>(std::countl_zero(partners));
    for (std::size_t k = static_cast<std::size_t>(std::countr_zero(partners)); k <= last; ++k) {
        if (((partners >> k) & 1) == 0) continue;
        Disc& b = discs[k];
        if (disc_disc(pos, b.pos, vel, b.vel, radius, b.radius, inv_mass, b.invMass, bcoef, b.bCoef)) [[unlikely]] {
            moved |= std::uint64_t{1} << k;
            touched = true;
            partners = mask_partners;
            if (partners != 0) last = 63 - static_cast<std::size_t>(std::countl_zero(partners));
        }
    }
    return touched;
}

// The positions the sweep started with, as lanes, filled when first asked
// for: until a disc's own turn, only a pair response can move it, and that
// sets its bit in `moved`.
struct StartColumns {
    StartColumns(const Disc* d, std::size_t count) : discs(d), n(count) {}

    const Disc* discs;
    std::size_t n;
    bool filled = false;
    PairColumns columns;

    const PairColumns& get() {
        if (!filled) PAIR_LANES.fill(columns, discs, n);
        filled = true;
        return columns;
    }
};

// The same for many discs, with the partners' first tests run LANES at a
// time on the positions the sweep started with: for all of them from the
// start when `prefilter` is set, else once a response has moved A, when
// every partner its masks allow has to be tested. A partner that a response
// has moved since is tested by disc_disc itself instead: the columns are
// never written during the sweep, since a wide load of what a narrow store
// has just written waits for the store to drain. Only a response that moved
// A can change the outcome of the tests after it (each partner is moved by
// its own pair alone), and only then are those run again.
[[gnu::always_inline]] inline bool pairs_in_lanes(Disc* discs, StartColumns& start, std::uint64_t& moved, std::size_t i,
                                                  std::size_t n, bool prefilter, std::uint64_t partners,
                                                  std::uint64_t mask_partners, Vec2& pos, Vec2& vel, double radius,
                                                  double inv_mass, double bcoef) {
    const auto candidates = [&](std::size_t first) {
        return (PAIR_LANES.in_reach(start.get(), first, n, pos, radius) | moved) & partners;
    };
    bool touched = false;
    std::uint64_t hits = prefilter ? candidates(i + 1) : partners;
    while (hits != 0) {
        const std::size_t k = static_cast<std::size_t>(std::countr_zero(hits));
        hits &= hits - 1;
        Disc& b = discs[k];
        if (disc_disc(pos, b.pos, vel, b.vel, radius, b.radius, inv_mass, b.invMass, bcoef, b.bCoef)) [[unlikely]] {
            moved |= std::uint64_t{1} << k;
            touched = true;
            partners = mask_partners;
            if (k + 1 < n) hits = candidates(k + 1) & bits_above(k);
        }
    }
    return touched;
}

// Where a disc that a response has moved finds its walls: in its anchor's
// cell while it stays within the drift of its anchor (the cell lists the
// walls for every centre that near it), else in the grid.
struct WallsOfMovedDisc {
    const WallGrid& grid;
    const SweepAnchors* anchors;  // null where the sweep keeps none
    std::size_t disc;

    const std::uint64_t* operator()(Vec2 pos, double radius) const {
        if (anchors != nullptr) {
            const Vec2 d = pos - Vec2{anchors->anchors.x[disc], anchors->anchors.y[disc]};
            if (dot(d, d) <= grid.drift * grid.drift) return anchors->cell[disc];
        }
        return grid.walls_near(pos, radius);
    }
};

// A's walls: only those listed for where its centre lies, found again
// whenever a response pushes the disc. (The push is a rare branch on
// purpose: were the next wall's bits selected without one, each test would
// wait for the arithmetic of the one before.) `masks` holds the plane words,
// then the segment words, of A's mask tests.
template <bool one_word>
[[gnu::always_inline]] inline void walls_in_reach(const ContactPlan& plan, const MatchState& state,
                                                  const std::uint64_t* masks, const std::uint64_t* near,
                                                  const WallsOfMovedDisc& walls_near, Vec2& pos, Vec2& vel,
                                                  double radius, double bcoef) {
    const WallStatics& walls = *plan.walls;
    if constexpr (one_word) {
        // Up to 64 planes and 64 segments, one word each: no loops over
        // words, and most discs, with no wall in reach, leave at once.
        constexpr std::size_t sw = 1;  // where the segment word is
        std::uint64_t planes_left = masks[0] & near[0];
        std::uint64_t segments_left = masks[sw] & near[sw];
        if ((planes_left | segments_left) == 0) return;
        while (planes_left != 0) {
            const std::size_t p = static_cast<std::size_t>(std::countr_zero(planes_left));
            planes_left &= planes_left - 1;
            const Plane& plane = state.planes[p];
            if (disc_plane_unit(pos, walls.plane_normals[p], vel, plane.dist, radius, bcoef, plane.bCoef))
                [[unlikely]] {
                near = walls_near(pos, radius);
                planes_left = masks[0] & near[0] & bits_above(p);
                segments_left = masks[sw] & near[sw];
            }
        }
        while (segments_left != 0) {
            const std::size_t s = static_cast<std::size_t>(std::countr_zero(segments_left));
            segments_left &= segments_left - 1;
            if (disc_segment(pos, vel, radius, bcoef, state.segments[s], walls.straight_axes[s])) [[unlikely]] {
                near = walls_near(pos, radius);
                segments_left = masks[sw] & near[sw] & bits_above(s);
            }
        }
        return;
    }
    for (std::size_t w = 0; w < plan.plane_words; ++w) {
        for (std::uint64_t bits = masks[w] & near[w]; bits != 0;) {
            const std::size_t bit = static_cast<std::size_t>(std::countr_zero(bits));
            bits &= bits - 1;
            const std::size_t p = w * 64 + bit;
            const Plane& plane = state.planes[p];
            if (disc_plane_unit(pos, walls.plane_normals[p], vel, plane.dist, radius, bcoef, plane.bCoef))
                [[unlikely]] {
                near = walls_near(pos, radius);
                bits = masks[w] & near[w] & bits_above(bit);
            }
        }
    }
    const std::uint64_t* segment_masks = masks + plan.plane_words;
    const std::uint64_t* segment_near = near + plan.plane_words;
    for (std::size_t w = 0; w < plan.segment_words; ++w) {
        for (std::uint64_t bits = segment_masks[w] & segment_near[w]; bits != 0;) {
            const std::size_t bit = static_cast<std::size_t>(std::countr_zero(bits));
            bits &= bits - 1;
            const std::size_t s = w * 64 + bit;
            if (disc_segment(pos, vel, radius, bcoef, state.segments[s], walls.straight_axes[s])) [[unlikely]] {
                segment_near = walls_near(pos, radius) + plan.plane_words;
                bits = segment_masks[w] & segment_near[w] & bits_above(bit);
            }
        }
    }
}

// `near` holds every disc's partners and walls as the sweep starts;
// without anchors, its partners are all the other discs, and with lanes the
// pair tests are prefiltered from the start. `one_word`: one word each of
// plane and segment bits.
template <bool lanes, bool one_word>
void sweep_fast(MatchState& state, const SweepAnchors& near, bool anchored) {
    const ContactPlan& plan = state.contact_plan;
    const WallGrid& grid = plan.walls->grid;
    Disc* discs = state.discs.data();
    const std::size_t n = plan.n_discs;
    // Quiet discs get no turn unless a response has moved a disc before them.
    const std::uint64_t quiet = near.quiet;
    // Discs that a response has moved since the sweep started: what was
    // looked up for them no longer holds.
    std::uint64_t moved_discs = 0;
    StartColumns start(discs, n);
    for (std::uint64_t turns = all_discs(n) & ~quiet; turns != 0; turns &= turns - 1) {
        const std::size_t i = static_cast<std::size_t>(std::countr_zero(turns));
        const std::uint64_t* masks = plan.bits.data() + i * plan.stride;
        bool moved = ((moved_discs >> i) & 1) != 0;
        // Moved discs keep every partner; so do the partners that moved.
        const std::uint64_t partners = masks[0] & (near.in_reach[i] | moved_discs | (moved ? ~std::uint64_t{0} : 0));
        Disc& a = discs[i];
        const double inv_mass = a.invMass;
        // An immovable disc with no partner left in reach (a goal post, as a
        // rule) has nothing to do.
        if (partners == 0 && inv_mass == 0.0) continue;
        Vec2 pos = a.pos;
        Vec2 vel = a.vel;
        const double radius = a.radius;
        const double bcoef = a.bCoef;
        if constexpr (lanes) {
            moved |= pairs_in_lanes(discs, start, moved_discs, i, n, !anchored, partners, masks[0], pos, vel, radius,
                                    inv_mass, bcoef);
        } else {
            moved |= pairs_one_by_one(discs, moved_discs, partners, masks[0], pos, vel, radius, inv_mass, bcoef);
        }
        // Once a response has moved a disc, the quiet discs after this one
        // may have work.
        if (moved_discs != 0) [[unlikely]]
            turns |= quiet & bits_above(i);
        // Walls never move an immovable disc; NaN is not immovable.
        if (inv_mass != 0.0) {
            const WallsOfMovedDisc walls_near{grid, anchored ? &near : nullptr, i};
            const std::uint64_t* cell = moved ? walls_near(pos, radius) : near.cell[i];
            walls_in_reach<one_word>(plan, state, masks + plan.disc_words, cell, walls_near, pos, vel, radius, bcoef);
        }
        a.pos = pos;
        a.vel = vel;
    }
}

}  // namespace

void sweep_contacts(MatchState& state, Sweep sweep, SweepAnchors* anchors) {
    const ContactPlan& plan = state.contact_plan;
    const std::size_t n = plan.n_discs;
    if (sweep == Sweep::plain || n > MAX_FAST_DISCS) {
        sweep_plain(state);
        return;
    }
    const WallGrid& grid = plan.walls->grid;
    SweepAnchors once;
    if (anchors != nullptr) {
        follow_anchors(*anchors, plan, state.discs.data());
    } else {
        look_up_once(once, grid, plan.statics_in_place, state.discs.data(), n);
    }
    const SweepAnchors& near = anchors != nullptr ? *anchors : once;
    const bool anchored = anchors != nullptr;
    const bool one_word = plan.plane_words == 1 && plan.segment_words == 1;
    if (n <= MAX_DISCS_ONE_BY_ONE) {
        one_word ? sweep_fast<false, true>(state, near, anchored) : sweep_fast<false, false>(state, near, anchored);
    } else {
        one_word ? sweep_fast<true, true>(state, near, anchored) : sweep_fast<true, false>(state, near, anchored);
    }
}
