// The stadium's geometry as arrays for observation code. Every env holds the
// same compiled stadium, so env 0 speaks for all of them.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "convert.hpp"
#include "engine_fault.hpp"
#include "state_contract.hpp"
#include "vecenv.hpp"
#include "vecenv_members.hpp"

namespace vecenv {

namespace {

// An infinite plane is handed out as a segment this long on each side of the
// plane's point nearest the origin: far beyond any playable field, short
// enough for a ray caster's arithmetic.
constexpr double PLANE_HALF_LENGTH = 3000.0;

// A stadium disc matters to observation when it stops the ball, a player or
// a kickoff barrier; one that collides only with walls (or nothing) does not.
constexpr CollisionFlags OBSTACLE_GROUPS = group::BALL | group::RED | group::BLUE | group::RED_KO | group::BLUE_KO;

const MatchState& first_env(PyObject* self, const char* operation) {
    const VecEnvRecord& record = vecenv_record(self);
    if (record.envs.empty()) throw EngineFault(std::string(operation) + ": the batch has no envs");
    require_consistent_state(record.envs[0], operation);
    return record.envs[0];
}

bool faces_ball(CollisionFlags cMask) { return (cMask & group::BALL) != 0; }

// A curve of exactly 0 is a straight wall; arcs, and a NaN curve, are not.
bool is_straight(const Segment& segment) { return segment.curve == 0.0; }

void put(double* out, Vec2 value) {
    out[0] = value.x;
    out[1] = value.y;
}

}  // namespace

PyObject* goals(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        const MatchState& state = first_env(self, "VecEnv.goals()");
        const auto g = static_cast<Py_ssize_t>(state.goals.size());
        auto p0 = new_array<double>({g, 2});
        auto p1 = new_array<double>({g, 2});
        auto team = new_array<std::int64_t>({g});
        for (Py_ssize_t i = 0; i < g; ++i) {
            const Goal& goal = state.goals[static_cast<std::size_t>(i)];
            put(p0.data + 2 * i, goal.p0);
            put(p1.data + 2 * i, goal.p1);
            team.data[i] = static_cast<std::int64_t>(goal.team);
        }
        return py_tuple(std::move(p0.object), std::move(p1.object), std::move(team.object)).release();
    });
}

PyObject* wall_segments(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        const MatchState& state = first_env(self, "VecEnv.wall_segments()");
        Py_ssize_t rows = 0;
        for (const Segment& segment : state.segments) rows += is_straight(segment) && faces_ball(segment.cMask);
        for (const Plane& plane : state.planes) rows += faces_ball(plane.cMask);

        auto result = new_array<double>({rows, 4});
        double* row = result.data;
        for (const Segment& segment : state.segments) {
            if (!is_straight(segment) || !faces_ball(segment.cMask)) continue;
            put(row, segment.v0);
            put(row + 2, segment.v1);
            row += 4;
        }
        for (const Plane& plane : state.planes) {
            if (!faces_ball(plane.cMask)) continue;
            // The unit normal as the contact response forms it. The point
            // nearest the origin is m = dist·n̂ and the line runs along
            // u = (−n̂.y, n̂.x), so the ends m ∓ half·u are written out.
            const Vec2 nh = plane.normal * (1.0 / std::sqrt(dot(plane.normal, plane.normal)));
            row[0] = plane.dist * nh.x + PLANE_HALF_LENGTH * nh.y;
            row[1] = plane.dist * nh.y - PLANE_HALF_LENGTH * nh.x;
            row[2] = plane.dist * nh.x - PLANE_HALF_LENGTH * nh.y;
            row[3] = plane.dist * nh.y + PLANE_HALF_LENGTH * nh.x;
            row += 4;
        }
        return result.object.release();
    });
}

PyObject* obstacle_discs(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        const MatchState& state = first_env(self, "VecEnv.obstacle_discs()");
        // Between the ball (index 0) and the first player.
        Py_ssize_t rows = 0;
        for (std::size_t i = 1; i < state.first_player; ++i) rows += (state.discs[i].cMask & OBSTACLE_GROUPS) != 0;

        auto result = new_array<double>({rows, 3});
        double* row = result.data;
        for (std::size_t i = 1; i < state.first_player; ++i) {
            const Disc& disc = state.discs[i];
            if ((disc.cMask & OBSTACLE_GROUPS) == 0) continue;
            // Where it stands now: a movable stadium disc may have been pushed.
            row[0] = disc.pos.x;
            row[1] = disc.pos.y;
            row[2] = disc.radius;
            row += 3;
        }
        return result.object.release();
    });
}

}  // namespace vecenv
