#include "predict.hpp"

#include "collision.hpp"
#include "collision_flags.hpp"
#include "contact_plan.hpp"
#include "state_contract.hpp"

namespace {

// The ball's working copy: only what its motion and its contacts read.
struct BallCopy {
    Vec2 pos;
    Vec2 vel;
    double radius;
    double invMass;
    double damping;
    double bCoef;
    CollisionFlags cGroup;
    CollisionFlags cMask;
};

// The wall normals that the tick keeps in the contact plan, if the plan was
// derived for this geometry; null otherwise, and then they are formed on the
// spot by the same arithmetic.
struct KeptNormals {
    const Vec2* planes = nullptr;
    const StraightAxis* segments = nullptr;
};

KeptNormals kept_normals(const MatchState& state) {
    const ContactPlan& plan = state.contact_plan;
    if (plan.n_discs == 0 || plan.n_planes != state.planes.size() || plan.n_segments != state.segments.size())
        return {};
    return {plan.walls->plane_normals.data(), plan.walls->straight_axes.data()};
}

// The ball's part of one tick: motion, then its contacts in the tick's order.
// The obstacle discs and walls are read, never written.
void advance(BallCopy& ball, const MatchState& state, const KeptNormals& kept) {
    ball.pos = ball.pos + ball.vel;
    ball.vel = ball.vel * ball.damping;
    // An immovable ball meets nothing; NaN is not immovable.
    if (ball.invMass == 0.0) return;
    for (std::size_t i = 1; i < state.first_player; ++i) {
        const Disc& d = state.discs[i];
        if (!interacts(ball.cGroup, ball.cMask, d.cGroup, d.cMask)) continue;
        // The obstacle stays frozen: its share of the response goes to copies.
        Vec2 obstacle_pos = d.pos;
        Vec2 obstacle_vel = d.vel;
        disc_disc(ball.pos, obstacle_pos, ball.vel, obstacle_vel, ball.radius, d.radius, ball.invMass, d.invMass,
                  ball.bCoef, d.bCoef);
    }
    for (std::size_t p = 0; p < state.planes.size(); ++p) {
        const Plane& plane = state.planes[p];
        if (!interacts(ball.cGroup, ball.cMask, plane.cGroup, plane.cMask)) continue;
        const Vec2 unit_normal = kept.planes != nullptr ? kept.planes[p] : unit_plane_normal(plane.normal);
        disc_plane_unit(ball.pos, unit_normal, ball.vel, plane.dist, ball.radius, ball.bCoef, plane.bCoef);
    }
    for (std::size_t s = 0; s < state.segments.size(); ++s) {
        const Segment& segment = state.segments[s];
        if (!interacts(ball.cGroup, ball.cMask, segment.cGroup, segment.cMask)) continue;
        if (kept.segments != nullptr) {
            disc_segment(ball.pos, ball.vel, ball.radius, ball.bCoef, segment, kept.segments[s]);
        } else {
            disc_segment(ball.pos, ball.vel, ball.radius, ball.bCoef, segment);
        }
    }
}

}  // namespace

void predict_ball(const MatchState& state, const std::uint64_t* offsets, std::size_t k, Vec2* out) {
    require_consistent_state(state, "predict_ball");
    const Disc& b = state.discs[0];
    BallCopy ball = {b.pos, b.vel, b.radius, b.invMass, b.damping, b.bCoef, b.cGroup, b.cMask};

    std::uint64_t last = 0;
    for (std::size_t i = 0; i < k; ++i) {
        if (offsets[i] > last) last = offsets[i];
    }

    // Records while the offsets climb tick by tick; the first offset that is
    // out of order (or 0 before larger ones) ends the recording, and it and
    // everything after it get the position after the last tick.
    const KeptNormals kept = kept_normals(state);
    std::size_t next = 0;
    for (std::uint64_t t = 1; t <= last; ++t) {
        advance(ball, state, kept);
        while (next < k && offsets[next] == t) out[next++] = ball.pos;
        if (t == last) break;  // t + 1 would wrap when last is the largest uint64
    }
    for (; next < k; ++next) out[next] = ball.pos;
}
