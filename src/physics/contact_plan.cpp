#include "contact_plan.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "match_state.hpp"

namespace {

std::size_t words_for(std::size_t n_items) { return n_items / 64 + (n_items % 64 != 0); }

void set_bit(std::uint64_t* words, std::size_t i) { words[i / 64] |= std::uint64_t{1} << (i % 64); }

// How far a disc may stray, in a run of ticks, from where its walls and
// partners were looked up before they are looked up again. Players move a
// few units per tick, so they look up every few ticks; a kicked ball does
// so more often.
constexpr double ANCHOR_DRIFT = 8.0;

// A plan sized for the state's counts, with the wall normals, which depend on
// nothing but the geometry. Built aside so that a failed allocation cannot
// leave a plan whose counts and storage disagree.
ContactPlan plan_for_shape(const MatchState& state) {
    ContactPlan plan;
    plan.n_discs = state.discs.size();
    plan.n_planes = state.planes.size();
    plan.n_segments = state.segments.size();
    plan.disc_words = words_for(plan.n_discs);
    plan.plane_words = words_for(plan.n_planes);
    plan.segment_words = words_for(plan.n_segments);
    plan.stride = plan.disc_words + plan.plane_words + plan.segment_words;
    std::size_t n_bits_words = 0;
    if (__builtin_mul_overflow(plan.n_discs, plan.stride, &n_bits_words))
        throw std::length_error("contact plan: too many discs and walls");
    plan.masks.assign(plan.n_discs, DiscMasks{});
    plan.bits.assign(n_bits_words, 0);
    plan.kickable.assign(plan.disc_words, 0);

    auto walls = std::make_shared<WallStatics>();
    walls->plane_normals.reserve(plan.n_planes);
    for (const Plane& plane : state.planes) walls->plane_normals.push_back(unit_plane_normal(plane.normal));
    walls->straight_axes.reserve(plan.n_segments);
    for (const Segment& segment : state.segments) {
        walls->straight_axes.push_back(segment.curve == 0.0 ? straight_axis(segment.v0, segment.v1) : StraightAxis{});
    }
    // The grid is laid over where the discs stand now (a built match stands
    // at kickoff) and sized for the largest disc that meets walls; a larger
    // one is swept without it.
    std::vector<Vec2> anchors;
    anchors.reserve(state.discs.size());
    double reach = 0.0;
    for (const Disc& disc : state.discs) {
        anchors.push_back(disc.pos);
        if (disc.invMass != 0.0 && disc.radius > reach) reach = disc.radius;
    }
    // Obstacles are never integrated, so an immovable one stays where it is.
    std::vector<StaticDisc> statics;
    for (std::size_t i = 1; i < state.first_player && i < state.discs.size() && i < 64; ++i) {
        const Disc& d = state.discs[i];
        if (d.invMass == 0.0 && std::isfinite(d.pos.x) && std::isfinite(d.pos.y) && std::isfinite(d.radius) &&
            d.radius >= 0.0)
            statics.push_back({i, d.pos, d.radius});
    }
    walls->grid = build_wall_grid(state.planes, walls->plane_normals, state.segments, walls->straight_axes, statics,
                                  anchors, reach, ANCHOR_DRIFT);
    plan.walls = std::move(walls);
    return plan;
}

// Every mask test of the sweep and of the kick, done once for the current
// masks. Writes in place: the plan's storage already has the right size.
void derive_masks(ContactPlan& plan, const MatchState& state) {
    std::fill(plan.bits.begin(), plan.bits.end(), 0);
    std::fill(plan.kickable.begin(), plan.kickable.end(), 0);
    for (std::size_t i = 0; i < plan.n_discs; ++i) {
        const Disc& a = state.discs[i];
        plan.masks[i] = {a.cGroup, a.cMask, a.invMass == 0.0};
        if ((a.cGroup & group::KICK) != 0) set_bit(plan.kickable.data(), i);
        std::uint64_t* partners = plan.bits.data() + i * plan.stride;
        std::uint64_t* planes = partners + plan.disc_words;
        std::uint64_t* segments = planes + plan.plane_words;
        for (std::size_t k = i + 1; k < plan.n_discs; ++k) {
            const Disc& b = state.discs[k];
            // disc_disc leaves two immovable discs alone whatever their places.
            if (a.invMass == 0.0 && b.invMass == 0.0) continue;
            if (interacts(a.cGroup, a.cMask, b.cGroup, b.cMask)) set_bit(partners, k);
        }
        for (std::size_t p = 0; p < plan.n_planes; ++p) {
            const Plane& plane = state.planes[p];
            if (interacts(a.cGroup, a.cMask, plane.cGroup, plane.cMask)) set_bit(planes, p);
        }
        for (std::size_t s = 0; s < plan.n_segments; ++s) {
            const Segment& segment = state.segments[s];
            if (interacts(a.cGroup, a.cMask, segment.cGroup, segment.cMask)) set_bit(segments, s);
        }
    }
}

bool masks_changed(const ContactPlan& plan, const MatchState& state) {
    const DiscMasks* seen = plan.masks.data();
    const Disc* discs = state.discs.data();
    for (std::size_t i = 0; i < plan.n_discs; ++i) {
        if (seen[i].cGroup != discs[i].cGroup || seen[i].cMask != discs[i].cMask ||
            seen[i].immovable != (discs[i].invMass == 0.0))
            return true;
    }
    return false;
}

template <typename T>
std::size_t heap_bytes(const std::vector<T>& items) {
    return items.capacity() * sizeof(T);
}

}  // namespace

void refresh_contact_plan(MatchState& state) {
    ContactPlan& plan = state.contact_plan;
    if (plan.n_discs != state.discs.size() || plan.n_planes != state.planes.size() ||
        plan.n_segments != state.segments.size()) {
        ContactPlan fresh = plan_for_shape(state);
        derive_masks(fresh, state);
        plan = std::move(fresh);
    } else if (masks_changed(plan, state)) {
        derive_masks(plan, state);
    }
    // Only a write from outside the tick can move an immovable obstacle (a
    // response can only turn its place into NaN, which meets nothing
    // anyway), so where they stand is checked here, once per run of ticks.
    plan.statics_in_place = 0;
    if (!plan.walls) return;  // a state without discs or walls, never ticked
    for (const StaticDisc& s : plan.walls->grid.statics) {
        const Disc& now = state.discs[s.index];
        if (now.pos.x == s.pos.x && now.pos.y == s.pos.y && now.radius == s.radius && now.invMass == 0.0)
            plan.statics_in_place |= std::uint64_t{1} << s.index;
    }
}

bool refresh_contact_plan_for_players(MatchState& state) {
    ContactPlan& plan = state.contact_plan;
    const DiscMasks* seen = plan.masks.data();
    for (std::size_t i = state.first_player; i < plan.n_discs; ++i) {
        if (seen[i].cMask != state.discs[i].cMask) {
            derive_masks(plan, state);
            return true;
        }
    }
    return false;
}

void forget_contact_plan(MatchState& state) { state.contact_plan = ContactPlan{}; }

std::size_t contact_plan_heap_bytes(const ContactPlan& plan) {
    return heap_bytes(plan.masks) + heap_bytes(plan.bits) + heap_bytes(plan.kickable);
}

std::size_t contact_plan_shared_bytes(const ContactPlan& plan) {
    if (!plan.walls) return 0;
    const WallStatics& w = *plan.walls;
    return sizeof(WallStatics) + heap_bytes(w.plane_normals) + heap_bytes(w.straight_axes) + heap_bytes(w.grid.cells) +
           heap_bytes(w.grid.everything) + heap_bytes(w.grid.statics);
}
