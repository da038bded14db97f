#include "pair_lanes.hpp"

#include "vec2.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// A lane past the last disc repeats it.
const Disc& lane_disc(const Disc* discs, std::size_t k, std::size_t n) { return discs[k < n ? k : n - 1]; }

void fill_scalar(PairColumns& c, const Disc* discs, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) c.x[k] = discs[k].pos.x, c.y[k] = discs[k].pos.y, c.r[k] = discs[k].radius;
}

std::uint64_t in_reach_scalar(const PairColumns& c, std::size_t first, std::size_t n, Vec2 pos, double radius) {
    std::uint64_t lanes = 0;
    for (std::size_t k = first; k < n; ++k) {
        const Vec2 d = pos - Vec2{c.x[k], c.y[k]};
        const double d2 = dot(d, d);
        const double s = radius + c.r[k];
        if (d2 > 0.0 && d2 <= s * s) lanes |= std::uint64_t{1} << k;
    }
    return lanes;
}

// The anchors' bound is widened by this relative amount, far above the
// rounding on either side of it.
constexpr double ANCHOR_WIDENING = 1.0 + 0x1p-20;

std::uint64_t near_anchors_scalar(const AnchorColumns& c, std::size_t first, std::size_t n, Vec2 place, double reach) {
    std::uint64_t lanes = 0;
    for (std::size_t k = first; k < n; ++k) {
        const Vec2 d = place - Vec2{c.x[k], c.y[k]};
        const double t = reach + c.reach[k];
        if (!(dot(d, d) > (t * t) * ANCHOR_WIDENING)) lanes |= std::uint64_t{1} << k;
    }
    return lanes;
}

#if defined(__x86_64__)
std::uint64_t near_anchors_sse2(const AnchorColumns& c, std::size_t first, std::size_t n, Vec2 place, double reach) {
    const __m128d px = _mm_set1_pd(place.x);
    const __m128d py = _mm_set1_pd(place.y);
    const __m128d pr = _mm_set1_pd(reach);
    const __m128d widening = _mm_set1_pd(ANCHOR_WIDENING);
    std::uint64_t lanes = 0;
    for (std::size_t k0 = first & ~std::size_t{1}; k0 < n; k0 += 2) {
        const __m128d dx = _mm_sub_pd(px, _mm_load_pd(c.x + k0));
        const __m128d dy = _mm_sub_pd(py, _mm_load_pd(c.y + k0));
        const __m128d d2 = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
        const __m128d t = _mm_add_pd(pr, _mm_load_pd(c.reach + k0));
        // Not greater, which holds for NaN too.
        const __m128d near = _mm_cmpngt_pd(d2, _mm_mul_pd(_mm_mul_pd(t, t), widening));
        lanes |= static_cast<std::uint64_t>(_mm_movemask_pd(near)) << k0;
    }
    return lanes;
}

[[gnu::target("avx2")]] std::uint64_t near_anchors_avx2(const AnchorColumns& c, std::size_t first, std::size_t n,
                                                        Vec2 place, double reach) {
    const __m256d px = _mm256_set1_pd(place.x);
    const __m256d py = _mm256_set1_pd(place.y);
    const __m256d pr = _mm256_set1_pd(reach);
    const __m256d widening = _mm256_set1_pd(ANCHOR_WIDENING);
    std::uint64_t lanes = 0;
    for (std::size_t k0 = first & ~std::size_t{3}; k0 < n; k0 += 4) {
        const __m256d dx = _mm256_sub_pd(px, _mm256_load_pd(c.x + k0));
        const __m256d dy = _mm256_sub_pd(py, _mm256_load_pd(c.y + k0));
        const __m256d d2 = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
        const __m256d t = _mm256_add_pd(pr, _mm256_load_pd(c.reach + k0));
        // Not greater, which holds for NaN too.
        const __m256d near = _mm256_cmp_pd(d2, _mm256_mul_pd(_mm256_mul_pd(t, t), widening), _CMP_NGT_UQ);
        lanes |= static_cast<std::uint64_t>(_mm256_movemask_pd(near)) << k0;
    }
    return lanes;
}

void fill_sse2(PairColumns& c, const Disc* discs, std::size_t n) {
    for (std::size_t k0 = 0; k0 < n; k0 += 2) {
        const Disc& d0 = discs[k0];
        const Disc& d1 = lane_disc(discs, k0 + 1, n);
        _mm_store_pd(c.x + k0, _mm_set_pd(d1.pos.x, d0.pos.x));
        _mm_store_pd(c.y + k0, _mm_set_pd(d1.pos.y, d0.pos.y));
        _mm_store_pd(c.r + k0, _mm_set_pd(d1.radius, d0.radius));
    }
}

std::uint64_t in_reach_sse2(const PairColumns& c, std::size_t first, std::size_t n, Vec2 pos, double radius) {
    const __m128d px = _mm_set1_pd(pos.x);
    const __m128d py = _mm_set1_pd(pos.y);
    const __m128d pr = _mm_set1_pd(radius);
    std::uint64_t lanes = 0;
    for (std::size_t k0 = first & ~std::size_t{1}; k0 < n; k0 += 2) {
        const __m128d dx = _mm_sub_pd(px, _mm_load_pd(c.x + k0));
        const __m128d dy = _mm_sub_pd(py, _mm_load_pd(c.y + k0));
        const __m128d d2 = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
        const __m128d s = _mm_add_pd(pr, _mm_load_pd(c.r + k0));
        const __m128d in = _mm_and_pd(_mm_cmpgt_pd(d2, _mm_setzero_pd()), _mm_cmple_pd(d2, _mm_mul_pd(s, s)));
        lanes |= static_cast<std::uint64_t>(_mm_movemask_pd(in)) << k0;
    }
    return lanes;
}

[[gnu::target("avx2")]] void fill_avx2(PairColumns& c, const Disc* discs, std::size_t n) {
    for (std::size_t k0 = 0; k0 < n; k0 += 4) {
        const Disc& d0 = discs[k0];
        const Disc& d1 = lane_disc(discs, k0 + 1, n);
        const Disc& d2 = lane_disc(discs, k0 + 2, n);
        const Disc& d3 = lane_disc(discs, k0 + 3, n);
        _mm256_store_pd(c.x + k0, _mm256_set_pd(d3.pos.x, d2.pos.x, d1.pos.x, d0.pos.x));
        _mm256_store_pd(c.y + k0, _mm256_set_pd(d3.pos.y, d2.pos.y, d1.pos.y, d0.pos.y));
        _mm256_store_pd(c.r + k0, _mm256_set_pd(d3.radius, d2.radius, d1.radius, d0.radius));
    }
}

[[gnu::target("avx2")]] std::uint64_t in_reach_avx2(const PairColumns& c, std::size_t first, std::size_t n, Vec2 pos,
                                                    double radius) {
    const __m256d px = _mm256_set1_pd(pos.x);
    const __m256d py = _mm256_set1_pd(pos.y);
    const __m256d pr = _mm256_set1_pd(radius);
    std::uint64_t lanes = 0;
    for (std::size_t k0 = first & ~std::size_t{3}; k0 < n; k0 += 4) {
        const __m256d dx = _mm256_sub_pd(px, _mm256_load_pd(c.x + k0));
        const __m256d dy = _mm256_sub_pd(py, _mm256_load_pd(c.y + k0));
        const __m256d d2 = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
        const __m256d s = _mm256_add_pd(pr, _mm256_load_pd(c.r + k0));
        const __m256d in = _mm256_and_pd(_mm256_cmp_pd(d2, _mm256_setzero_pd(), _CMP_GT_OQ),
                                         _mm256_cmp_pd(d2, _mm256_mul_pd(s, s), _CMP_LE_OQ));
        lanes |= static_cast<std::uint64_t>(_mm256_movemask_pd(in)) << k0;
    }
    return lanes;
}
#endif

}  // namespace

const PairLanes PAIR_LANES_SCALAR = {fill_scalar, in_reach_scalar, near_anchors_scalar};
#if defined(__x86_64__)
const PairLanes PAIR_LANES_SSE2 = {fill_sse2, in_reach_sse2, near_anchors_sse2};
const PairLanes PAIR_LANES_AVX2 = {fill_avx2, in_reach_avx2, near_anchors_avx2};

bool processor_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#else
const PairLanes PAIR_LANES_SSE2 = PAIR_LANES_SCALAR;
const PairLanes PAIR_LANES_AVX2 = PAIR_LANES_SCALAR;

bool processor_has_avx2() { return false; }
#endif

const PairLanes& PAIR_LANES = processor_has_avx2() ? PAIR_LANES_AVX2 : PAIR_LANES_SSE2;
