#include "contact_sweep.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#include "bit_words.hpp"
#include "collision.hpp"
#include "contact_plan.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Discs tested side by side in the pair prefilter.
constexpr std::size_t LANES = 2;
// The fast sweep keeps every disc's partners in one word.
constexpr std::size_t MAX_FAST_DISCS = 64;

// Bit j is set when disc k0 + j (of n) passes the first test of disc_disc
// against a disc at `pos` of radius `radius`, with the same arithmetic:
// d = pa - pb, d2 = d.x * d.x + d.y * d.y, s = ra + rb, contact only if
// d2 > 0 and d2 <= s * s (false for NaN). A disc that fails it is certainly
// left alone. A lane past the last disc repeats disc k0; callers mask it off.
//
// The lanes are filled from the disc records by scalar loads: the sweep
// writes positions one double at a time, and a wide load of what narrow
// stores have just written would wait for them to drain.
inline std::uint64_t lanes_in_reach(const Disc* discs, std::size_t k0, std::size_t n, Vec2 pos, double radius) {
    const Disc& d0 = discs[k0];
    const Disc& d1 = discs[k0 + 1 < n ? k0 + 1 : k0];
#if defined(__SSE2__)
    const __m128d dx = _mm_sub_pd(_mm_set1_pd(pos.x), _mm_set_pd(d1.pos.x, d0.pos.x));
    const __m128d dy = _mm_sub_pd(_mm_set1_pd(pos.y), _mm_set_pd(d1.pos.y, d0.pos.y));
    const __m128d d2 = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
    const __m128d s = _mm_add_pd(_mm_set1_pd(radius), _mm_set_pd(d1.radius, d0.radius));
    const __m128d in_reach = _mm_and_pd(_mm_cmpgt_pd(d2, _mm_setzero_pd()), _mm_cmple_pd(d2, _mm_mul_pd(s, s)));
    return static_cast<std::uint64_t>(_mm_movemask_pd(in_reach));
#else
    std::uint64_t lanes = 0;
    const Disc* lane_discs[LANES] = {&d0, &d1};
    for (std::size_t j = 0; j < LANES; ++j) {
        const Vec2 d = pos - lane_discs[j]->pos;
        const double d2 = dot(d, d);
        const double s = radius + lane_discs[j]->radius;
        if (d2 > 0.0 && d2 <= s * s) lanes |= std::uint64_t{1} << j;
    }
    return lanes;
#endif
}

// The lanes of every block from the one that starts at `first` to the last
// disc, as one bit set over disc indexes.
inline std::uint64_t in_reach_from(const Disc* discs, std::size_t first, std::size_t n, Vec2 pos, double radius) {
    std::uint64_t lanes = 0;
    for (std::size_t k0 = first; k0 < n; k0 += LANES) lanes |= lanes_in_reach(discs, k0, n, pos, radius) << k0;
    return lanes;
}

// Disc A's pairs with the discs after it, one test per mask-selected
// partner: for few discs the branch on each mask bit, nearly always the
// same, costs less than filling lanes.
[[gnu::always_inline]] inline void pairs_one_by_one(Disc* discs, std::size_t i, std::size_t n, std::uint64_t partners, Vec2& pos,
                             Vec2& vel, double radius, double inv_mass, double bcoef) {
    for (std::size_t k = i + 1; k < n; ++k) {
        if (((partners >> k) & 1) == 0) continue;
        Disc& b = discs[k];
        disc_disc(pos, b.pos, vel, b.vel, radius, b.radius, inv_mass, b.invMass, bcoef, b.bCoef);
    }
}

// The same with every partner's first test run up front, LANES at a time:
// the blocks are independent, so they overlap in the pipeline. Only a
// response that moved A can change the outcome of the tests after it (each
// partner is moved by its own pair alone), and only then are those run again.
[[gnu::always_inline]] inline void pairs_in_lanes(Disc* discs, std::size_t i, std::size_t n, std::uint64_t partners, Vec2& pos,
                           Vec2& vel, double radius, double inv_mass, double bcoef) {
    std::uint64_t hits = in_reach_from(discs, (i + 1) & ~(LANES - 1), n, pos, radius) & partners;
    while (hits != 0) {
        const std::size_t k = static_cast<std::size_t>(std::countr_zero(hits));
        hits &= hits - 1;
        Disc& b = discs[k];
        if (disc_disc(pos, b.pos, vel, b.vel, radius, b.radius, inv_mass, b.invMass, bcoef, b.bCoef) && k + 1 < n)
            hits = in_reach_from(discs, (k + 1) & ~(LANES - 1), n, pos, radius) & partners & bits_above(k);
    }
}

// A's walls: only those of the grid cell that holds its centre, the cell
// looked up again whenever a response pushes the disc. (The push is a rare
// branch on purpose: were the next wall's bits selected without one, each
// test would wait for the arithmetic of the one before.) `masks` holds the
// plane words, then the segment words, of A's mask tests.
[[gnu::always_inline]] inline void walls_in_reach(const ContactPlan& plan, const MatchState& state, const std::uint64_t* masks, Vec2& pos,
                           Vec2& vel, double radius, double bcoef) {
    const WallStatics& walls = *plan.walls;
    const WallGrid& grid = walls.grid;
    const std::uint64_t* near = grid.walls_near(pos, radius);
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

template <bool lanes>
void sweep_fast(MatchState& state) {
    const ContactPlan& plan = state.contact_plan;
    Disc* discs = state.discs.data();
    const std::size_t n = plan.n_discs;
    for (std::size_t i = 0; i < n; ++i) {
        Disc& a = discs[i];
        Vec2 pos = a.pos;
        Vec2 vel = a.vel;
        const double radius = a.radius;
        const double inv_mass = a.invMass;
        const double bcoef = a.bCoef;
        const std::uint64_t* partners = plan.bits.data() + i * plan.stride;
        if constexpr (lanes) {
            pairs_in_lanes(discs, i, n, partners[0], pos, vel, radius, inv_mass, bcoef);
        } else {
            pairs_one_by_one(discs, i, n, partners[0], pos, vel, radius, inv_mass, bcoef);
        }
        // Walls never move an immovable disc; NaN is not immovable.
        if (inv_mass != 0.0) walls_in_reach(plan, state, partners + plan.disc_words, pos, vel, radius, bcoef);
        a.pos = pos;
        a.vel = vel;
    }
}

}  // namespace

void sweep_contacts(MatchState& state, Sweep sweep) {
    const std::size_t n = state.contact_plan.n_discs;
    if (sweep == Sweep::fast && n <= MAX_DISCS_ONE_BY_ONE) {
        sweep_fast<false>(state);
    } else if (sweep == Sweep::fast && n <= MAX_FAST_DISCS) {
        sweep_fast<true>(state);
    } else {
        sweep_plain(state);
    }
}
