#include "predict.hpp"

#include "collision.hpp"
#include "collision_flags.hpp"
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

// The ball's part of one tick: motion, then its contacts in the tick's order.
// The obstacle discs and walls are read, never written.
void advance(BallCopy& ball, const MatchState& state) {
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
        disc_disc(ball.pos, obstacle_pos, ball.vel, obstacle_vel, ball.radius, d.radius, ball.invMass,
                  d.invMass, ball.bCoef, d.bCoef);
    }
    for (const Plane& plane : state.planes) {
        if (!interacts(ball.cGroup, ball.cMask, plane.cGroup, plane.cMask)) continue;
        disc_plane(ball.pos, plane.normal, ball.vel, plane.dist, ball.radius, ball.bCoef, plane.bCoef);
    }
    for (const Segment& segment : state.segments) {
        if (!interacts(ball.cGroup, ball.cMask, segment.cGroup, segment.cMask)) continue;
        disc_segment(ball.pos, ball.vel, ball.radius, ball.bCoef, segment);
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
    std::size_t next = 0;
    for (std::uint64_t t = 1; t <= last; ++t) {
        advance(ball, state);
        while (next < k && offsets[next] == t) out[next++] = ball.pos;
        if (t == last) break;  // t + 1 would wrap when last is the largest uint64
    }
    for (; next < k; ++next) out[next] = ball.pos;
}
