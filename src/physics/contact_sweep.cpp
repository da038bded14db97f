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

// What the fast sweep knows of every disc while it runs. A disc that a
// response has moved since the sweep started has its bit in `moved`; what is
// kept of it from the start no longer holds for it.
struct SweepLedger {
    std::uint64_t moved = 0;
    // Static discs that no disc's cell lists: with nothing moved yet, they
    // have nothing to do.
    std::uint64_t idle = 0;
    // Per disc, the partners whose tests the grid cannot rule out: for a
    // static disc, the discs that stood in a cell listing it; for another,
    // the static discs its cell lists and every other disc (or, in a run of
    // ticks, every other disc among its neighbours).
    std::uint64_t in_reach[MAX_FAST_DISCS];
    // Per disc that is not static: its grid cell where it started.
    const std::uint64_t* cell[MAX_FAST_DISCS];
};

// How far a disc may stray from its anchor before the pairs are measured
// again. Players move a few units per tick, so a run of 8 ticks rarely
// measures twice; a kicked ball does sooner.
constexpr double PAIR_MARGIN = 8.0;
// Anchors beyond this coordinate get every partner: up to it, the rounding
// of a difference of places stays far below the 2^-20 of the bounds below.
constexpr double PAIR_ANCHOR_LIMIT = 0x1p30;

// Whether every disc of `others` is still within PAIR_MARGIN of its anchor
// (false for a NaN place).
bool neighbours_hold(const PairNeighbours& nb, std::uint64_t others, const Disc* discs) {
    for (; others != 0; others &= others - 1) {
        const std::size_t k = static_cast<std::size_t>(std::countr_zero(others));
        const Vec2 d = discs[k].pos - nb.anchor[k];
        if (!(dot(d, d) <= PAIR_MARGIN * PAIR_MARGIN)) return false;
    }
    return true;
}

// For two discs now within PAIR_MARGIN of their anchors to touch
// (d2 <= (ra + rb)^2), their anchors must lie within |ra| + |rb| +
// 2 * PAIR_MARGIN; the square of that, widened by a relative 2^-20 (far above
// the rounding on either side), is what a pair must exceed to be left out.
void measure_neighbours(PairNeighbours& nb, std::uint64_t others, const Disc* discs) {
    nb.measured = true;
    double reach[64];
    for (std::uint64_t left = others; left != 0; left &= left - 1) {
        const std::size_t k = static_cast<std::size_t>(std::countr_zero(left));
        const Disc& d = discs[k];
        nb.anchor[k] = d.pos;
        const bool placed = std::fabs(d.pos.x) < PAIR_ANCHOR_LIMIT && std::fabs(d.pos.y) < PAIR_ANCHOR_LIMIT;
        // NaN and infinite radii, and discs far out, reach everything.
        reach[k] = placed ? std::fabs(d.radius) + PAIR_MARGIN : std::numeric_limits<double>::infinity();
        nb.near[k] = 0;
    }
    for (std::uint64_t left = others; left != 0; left &= left - 1) {
        const std::size_t i = static_cast<std::size_t>(std::countr_zero(left));
        for (std::uint64_t later = left & (left - 1); later != 0; later &= later - 1) {
            const std::size_t k = static_cast<std::size_t>(std::countr_zero(later));
            const Vec2 d = nb.anchor[i] - nb.anchor[k];
            const double t = reach[i] + reach[k];
            if (!(dot(d, d) > (t * t) * (1.0 + 0x1p-20))) {
                nb.near[i] |= std::uint64_t{1} << k;
                nb.near[k] |= std::uint64_t{1} << i;
            }
        }
    }
}

void open_ledger(SweepLedger& ledger, const WallGrid& grid, std::uint64_t statics, const Disc* discs, std::size_t n,
                 PairNeighbours* neighbours) {
    for (std::uint64_t bits = statics; bits != 0; bits &= bits - 1) ledger.in_reach[std::countr_zero(bits)] = 0;
    const std::uint64_t all = n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
    const std::uint64_t others = all & ~statics;
    if (neighbours != nullptr && (!neighbours->measured || !neighbours_hold(*neighbours, others, discs)))
        measure_neighbours(*neighbours, others, discs);
    std::uint64_t listed = 0;
    for (std::uint64_t left = others; left != 0; left &= left - 1) {
        const std::size_t k = static_cast<std::size_t>(std::countr_zero(left));
        const Disc& d = discs[k];
        ledger.cell[k] = grid.walls_near(d.pos, d.radius);
        // The cell's bound holds for radii from 0 up to its reach.
        const std::uint64_t near = d.radius >= 0.0 ? ledger.cell[k][grid.static_word] & statics : statics;
        ledger.in_reach[k] = (neighbours != nullptr ? neighbours->near[k] : ~statics) | near;
        for (std::uint64_t bits = near; bits != 0; bits &= bits - 1)
            ledger.in_reach[std::countr_zero(bits)] |= std::uint64_t{1} << k;
        listed |= near;
    }
    ledger.idle = statics & ~listed;
}

// Disc A's pairs with the discs after it, one test per selected partner:
// for few discs the branch on each bit, nearly always the same, costs less
// than filling lanes. Once a response has moved A, what ruled its later
// partners out no longer holds, and every partner its masks allow
// (`mask_partners`) is tested from there on. Returns whether A was moved.
[[gnu::always_inline]] inline bool pairs_one_by_one(Disc* discs, SweepLedger& ledger, std::uint64_t partners,
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
            ledger.moved |= std::uint64_t{1} << k;
            touched = true;
            partners = mask_partners;
            if (partners != 0) last = 63 - static_cast<std::size_t>(std::countl_zero(partners));
        }
    }
    return touched;
}

// The same with every partner's first test run up front, LANES at a time,
// on the positions the sweep started with. A partner that a response has
// moved since is tested by disc_disc itself instead: the columns are never
// written during the sweep, since a wide load of what a narrow store has
// just written waits for the store to drain. Only a response that moved A
// can change the outcome of the tests after it (each partner is moved by its
// own pair alone), and only then are those run again.
[[gnu::always_inline]] inline bool pairs_in_lanes(Disc* discs, const PairColumns& c, SweepLedger& ledger, std::size_t i,
                                                  std::size_t n, std::uint64_t partners, std::uint64_t mask_partners,
                                                  Vec2& pos, Vec2& vel, double radius, double inv_mass, double bcoef) {
    const auto candidates = [&](std::size_t first) {
        return (PAIR_LANES.in_reach(c, first, n, pos, radius) | ledger.moved) & partners;
    };
    bool touched = false;
    std::uint64_t hits = candidates(i + 1);
    while (hits != 0) {
        const std::size_t k = static_cast<std::size_t>(std::countr_zero(hits));
        hits &= hits - 1;
        Disc& b = discs[k];
        if (disc_disc(pos, b.pos, vel, b.vel, radius, b.radius, inv_mass, b.invMass, bcoef, b.bCoef)) [[unlikely]] {
            ledger.moved |= std::uint64_t{1} << k;
            touched = true;
            partners = mask_partners;
            if (k + 1 < n) hits = candidates(k + 1) & bits_above(k);
        }
    }
    return touched;
}

// A's walls: only those of the grid cell that holds its centre, the cell
// looked up again whenever a response pushes the disc. (The push is a rare
// branch on purpose: were the next wall's bits selected without one, each
// test would wait for the arithmetic of the one before.) `masks` holds the
// plane words, then the segment words, of A's mask tests.
[[gnu::always_inline]] inline void walls_in_reach(const ContactPlan& plan, const MatchState& state,
                                                  const std::uint64_t* masks, const std::uint64_t* near, Vec2& pos,
                                                  Vec2& vel, double radius, double bcoef) {
    const WallStatics& walls = *plan.walls;
    const WallGrid& grid = walls.grid;
    if (plan.plane_words <= 1 && plan.segment_words <= 1) {
        // At most 64 planes and 64 segments, one word each: no loops over
        // words, and most discs, with no wall in reach, leave at once.
        const std::size_t sw = plan.plane_words;  // where the segment word is
        std::uint64_t planes_left = sw != 0 ? masks[0] & near[0] : 0;
        std::uint64_t segments_left = plan.segment_words != 0 ? masks[sw] & near[sw] : 0;
        if ((planes_left | segments_left) == 0) return;
        while (planes_left != 0) {
            const std::size_t p = static_cast<std::size_t>(std::countr_zero(planes_left));
            planes_left &= planes_left - 1;
            const Plane& plane = state.planes[p];
            if (disc_plane_unit(pos, walls.plane_normals[p], vel, plane.dist, radius, bcoef, plane.bCoef))
                [[unlikely]] {
                near = grid.walls_near(pos, radius);
                planes_left = masks[0] & near[0] & bits_above(p);
                segments_left = plan.segment_words != 0 ? masks[sw] & near[sw] : 0;
            }
        }
        while (segments_left != 0) {
            const std::size_t s = static_cast<std::size_t>(std::countr_zero(segments_left));
            segments_left &= segments_left - 1;
            if (disc_segment(pos, vel, radius, bcoef, state.segments[s], walls.straight_axes[s])) [[unlikely]] {
                near = grid.walls_near(pos, radius);
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
                near = grid.walls_near(pos, radius);
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
                segment_near = grid.walls_near(pos, radius) + plan.plane_words;
                bits = segment_masks[w] & segment_near[w] & bits_above(bit);
            }
        }
    }
}

// Up to this many discs, pairs are tested one by one.
constexpr std::size_t MAX_DISCS_ONE_BY_ONE = 16;
// From this many discs that are not static obstacles on, keeping their
// neighbours pays.
constexpr int MIN_DISCS_FOR_NEIGHBOURS = 5;

template <bool lanes>
void sweep_fast(MatchState& state, PairNeighbours* neighbours) {
    const ContactPlan& plan = state.contact_plan;
    const WallGrid& grid = plan.walls->grid;
    Disc* discs = state.discs.data();
    const std::size_t n = plan.n_discs;
    SweepLedger ledger;
    open_ledger(ledger, grid, plan.statics_in_place, discs, n, neighbours);
    PairColumns columns;
    if constexpr (lanes) PAIR_LANES.fill(columns, discs, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (((ledger.idle >> i) & 1) != 0 && ledger.moved == 0) continue;
        Disc& a = discs[i];
        const std::uint64_t* masks = plan.bits.data() + i * plan.stride;
        bool moved = ((ledger.moved >> i) & 1) != 0;
        // Moved discs keep every partner; so do the partners that moved.
        const std::uint64_t partners = masks[0] & (ledger.in_reach[i] | ledger.moved | (moved ? ~std::uint64_t{0} : 0));
        const double inv_mass = a.invMass;
        // An immovable disc with no partner left in reach (a goal post, as a
        // rule) has nothing to do.
        if (partners == 0 && inv_mass == 0.0) continue;
        Vec2 pos = a.pos;
        Vec2 vel = a.vel;
        const double radius = a.radius;
        const double bcoef = a.bCoef;
        if constexpr (lanes) {
            moved |=
                pairs_in_lanes(discs, columns, ledger, i, n, partners, masks[0], pos, vel, radius, inv_mass, bcoef);
        } else {
            moved |= pairs_one_by_one(discs, ledger, partners, masks[0], pos, vel, radius, inv_mass, bcoef);
        }
        // Walls never move an immovable disc; NaN is not immovable.
        if (inv_mass != 0.0) {
            const std::uint64_t* near = moved ? grid.walls_near(pos, radius) : ledger.cell[i];
            walls_in_reach(plan, state, masks + plan.disc_words, near, pos, vel, radius, bcoef);
        }
        a.pos = pos;
        a.vel = vel;
    }
}

}  // namespace

bool pair_neighbours_pay(const MatchState& state) {
    // With few discs to pair, measuring them costs more than it spares; with
    // many, the lanes test several partners at once for less than measuring
    // every pair one by one would cost.
    const ContactPlan& plan = state.contact_plan;
    if (plan.n_discs > MAX_DISCS_ONE_BY_ONE) return false;
    const std::uint64_t all = (std::uint64_t{1} << plan.n_discs) - 1;
    return std::popcount(all & ~plan.statics_in_place) >= MIN_DISCS_FOR_NEIGHBOURS;
}

void sweep_contacts(MatchState& state, Sweep sweep, PairNeighbours* neighbours) {
    const std::size_t n = state.contact_plan.n_discs;
    if (sweep == Sweep::fast && n <= MAX_DISCS_ONE_BY_ONE) {
        sweep_fast<false>(state, neighbours);
    } else if (sweep == Sweep::fast && n <= MAX_FAST_DISCS) {
        sweep_fast<true>(state, neighbours);
    } else {
        sweep_plain(state);
    }
}
