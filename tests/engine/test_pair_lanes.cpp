// The pair prefilter runs disc_disc's first test side by side. Every width
// must give the same bits as that test, for ordinary and odd values alike,
// and never miss a pair that disc_disc finds in contact.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "collision.hpp"
#include "pair_lanes.hpp"
#include "states.hpp"

using states::SplitMix64;

namespace {

// Coordinates that land on every edge of the test: exact touching, shared
// centres, signed zeros, NaN and infinities.
double odd_coordinate(SplitMix64& rng) {
    switch (rng.below(12)) {
        case 0:
            return 0.0;
        case 1:
            return -0.0;
        case 2:
            return std::numeric_limits<double>::quiet_NaN();
        case 3:
            return std::numeric_limits<double>::infinity();
        case 4:
            return 1e300;
        case 5:
            return 10.0 * static_cast<double>(rng.below(5));  // discs of radius 5 that touch exactly
        default:
            return static_cast<double>(rng.below(20001)) / 100.0 - 100.0;
    }
}

std::vector<Disc> random_discs(SplitMix64& rng, std::size_t n) {
    std::vector<Disc> discs;
    for (std::size_t k = 0; k < n; ++k) {
        Disc d = states::obstacle({odd_coordinate(rng), odd_coordinate(rng)}, 5, 1);
        if (rng.below(8) == 0) d.radius = rng.below(2) == 0 ? -3.0 : std::numeric_limits<double>::quiet_NaN();
        if (rng.below(8) == 0) d.radius = 5.0 + static_cast<double>(rng.below(100));
        discs.push_back(d);
    }
    return discs;
}

bool first_test(Vec2 pa, Vec2 pb, double ra, double rb) {
    const Vec2 d = pa - pb;
    const double d2 = dot(d, d);
    const double s = ra + rb;
    return d2 > 0.0 && d2 <= s * s;
}

}  // namespace

TEST(every_lane_width_gives_the_bits_of_disc_discs_first_test) {
    std::vector<const PairLanes*> widths = {&PAIR_LANES_SCALAR, &PAIR_LANES_SSE2};
    if (processor_has_avx2()) widths.push_back(&PAIR_LANES_AVX2);
    CHECK(&PAIR_LANES == widths.back());  // the widest the processor runs
    SplitMix64 rng{0x1a4e5};
    std::uint64_t contacts = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = 1 + static_cast<std::size_t>(rng.below(MAX_LANE_DISCS));
        const std::vector<Disc> discs = random_discs(rng, n);
        const std::size_t first = static_cast<std::size_t>(rng.below(n));
        const Disc& a = discs[static_cast<std::size_t>(rng.below(n))];
        std::uint64_t expected = 0;
        for (std::size_t k = first; k < n; ++k) {
            if (first_test(a.pos, discs[k].pos, a.radius, discs[k].radius)) expected |= std::uint64_t{1} << k;
        }
        const std::uint64_t below_n = n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
        const std::uint64_t from_first = below_n & ~((std::uint64_t{1} << first) - 1);
        for (const PairLanes* lanes : widths) {
            PairColumns columns;
            lanes->fill(columns, discs.data(), n);
            const std::uint64_t bits = lanes->in_reach(columns, first, n, a.pos, a.radius);
            if ((bits & from_first) != expected) check::fail(__FILE__, __LINE__, "round " + std::to_string(round));
            // And disc_disc never finds a contact that the bits rule out.
            for (std::size_t k = first; k < n; ++k) {
                Disc pa = a, pb = discs[k];
                const bool touched = disc_disc(pa.pos, pb.pos, pa.vel, pb.vel, pa.radius, pb.radius, 1, 1, 0.5, 0.5);
                contacts += touched;
                if (touched && ((bits >> k) & 1) == 0) check::fail(__FILE__, __LINE__, "a contact ruled out");
            }
        }
    }
    CHECK(contacts > 1000);
}

namespace {

// The anchor test as the sweep states it, one pair at a time.
bool anchors_near(Vec2 p, double reach, Vec2 q, double reach_q) {
    const Vec2 d = p - q;
    const double t = reach + reach_q;
    return !(d.x * d.x + d.y * d.y > (t * t) * (1.0 + 0x1p-20));
}

}  // namespace

// Every width gives the bits of the anchor test, for NaN, infinite and far
// places and reaches too; and two discs that each lie within a drift of
// their anchors and touch are never left out.
TEST(every_lane_width_gives_the_bits_of_the_anchor_test) {
    std::vector<const PairLanes*> widths = {&PAIR_LANES_SCALAR, &PAIR_LANES_SSE2};
    if (processor_has_avx2()) widths.push_back(&PAIR_LANES_AVX2);
    SplitMix64 rng{0xa7c0};
    constexpr double DRIFT = 8.0;
    std::uint64_t touching = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = 1 + static_cast<std::size_t>(rng.below(MAX_LANE_DISCS));
        const std::vector<Disc> discs = random_discs(rng, n);
        AnchorColumns columns;
        std::vector<Vec2> places(n);
        for (std::size_t k = 0; k < n + PAIR_LANES_WIDTH; ++k) columns.x[k] = columns.y[k] = columns.reach[k] = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            // Each disc stands up to the drift away from its anchor.
            const Vec2 offset = {static_cast<double>(rng.below(1601)) / 200.0 - 4.0,
                                 static_cast<double>(rng.below(1601)) / 200.0 - 4.0};
            places[k] = discs[k].pos;
            columns.x[k] = discs[k].pos.x + offset.x;
            columns.y[k] = discs[k].pos.y + offset.y;
            columns.reach[k] = std::fabs(discs[k].radius) + DRIFT;
        }
        const std::size_t first = static_cast<std::size_t>(rng.below(n));
        const std::size_t i = static_cast<std::size_t>(rng.below(n));
        const Vec2 anchor = {columns.x[i], columns.y[i]};
        std::uint64_t expected = 0;
        for (std::size_t k = first; k < n; ++k) {
            if (anchors_near(anchor, columns.reach[i], {columns.x[k], columns.y[k]}, columns.reach[k]))
                expected |= std::uint64_t{1} << k;
        }
        const std::uint64_t below_n = n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
        const std::uint64_t from_first = below_n & ~((std::uint64_t{1} << first) - 1);
        for (const PairLanes* lanes : widths) {
            const std::uint64_t bits = lanes->near_anchors(columns, first, n, anchor, columns.reach[i]);
            if ((bits & from_first) != expected) check::fail(__FILE__, __LINE__, "round " + std::to_string(round));
        }
        for (std::size_t k = first; k < n; ++k) {
            if (k == i) continue;
            const bool touch = first_test(places[i], places[k], discs[i].radius, discs[k].radius);
            touching += touch;
            if (touch && ((expected >> k) & 1) == 0) check::fail(__FILE__, __LINE__, "a touching pair left out");
        }
    }
    CHECK(touching > 1000);
}
