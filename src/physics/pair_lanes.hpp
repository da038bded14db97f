#pragma once

// The pair prefilter of the fast sweep: disc_disc's first test, run for
// several partners side by side on a copy of the discs' positions and radii
// laid out one array per field.

#include <cstddef>
#include <cstdint>

#include "match_state.hpp"

// Discs per wide block, and the most discs a bit set of one word holds.
inline constexpr std::size_t PAIR_LANES_WIDTH = 4;
inline constexpr std::size_t MAX_LANE_DISCS = 64;

// Positions and radii, filled by wide stores so that the wide loads of the
// prefilter take their values straight from the stores. Lanes past the last
// disc repeat it; callers mask them off.
struct PairColumns {
    alignas(32) double x[MAX_LANE_DISCS + PAIR_LANES_WIDTH];
    alignas(32) double y[MAX_LANE_DISCS + PAIR_LANES_WIDTH];
    alignas(32) double r[MAX_LANE_DISCS + PAIR_LANES_WIDTH];
};

// Places and their reaches, for the test of a run's anchors (contact_sweep):
// entry k is near a place p of reach r unless d2 > (t * t) * (1 + 2^-20),
// with d = p - (x[k], y[k]), d2 = d.x * d.x + d.y * d.y and t = r + reach[k]
// (near for NaN). Entries past the last one the caller keeps hold whatever
// was stored there; callers mask them off.
struct AnchorColumns {
    alignas(32) double x[MAX_LANE_DISCS + PAIR_LANES_WIDTH];
    alignas(32) double y[MAX_LANE_DISCS + PAIR_LANES_WIDTH];
    alignas(32) double reach[MAX_LANE_DISCS + PAIR_LANES_WIDTH];
};

struct PairLanes {
    // Copies the first n (1 <= n <= MAX_LANE_DISCS) discs.
    void (*fill)(PairColumns& columns, const Disc* discs, std::size_t n);
    // Bit k is set, for every disc k from `first` to n - 1 (and perhaps for
    // a few below `first`), when disc k passes the first test of disc_disc
    // against a disc at `pos` of radius `radius`, with the same arithmetic:
    // d = pa - pb, d2 = d.x * d.x + d.y * d.y, s = ra + rb, contact only if
    // d2 > 0 and d2 <= s * s (false for NaN). A disc that fails it is
    // certainly left alone by disc_disc.
    std::uint64_t (*in_reach)(const PairColumns& columns, std::size_t first, std::size_t n, Vec2 pos, double radius);
    // Bit k is set, for every entry k from `first` to n - 1 (and perhaps for
    // a few below `first`), when entry k is near `place` of reach `reach`.
    std::uint64_t (*near_anchors)(const AnchorColumns& columns, std::size_t first, std::size_t n, Vec2 place,
                                  double reach);
};

// One disc at a time, 2 side by side (SSE2) and 4 side by side (AVX2; only
// where the processor has it). All three give the same bits.
extern const PairLanes PAIR_LANES_SCALAR;
extern const PairLanes PAIR_LANES_SSE2;
extern const PairLanes PAIR_LANES_AVX2;
bool processor_has_avx2();

// The widest this processor runs.
extern const PairLanes& PAIR_LANES;
