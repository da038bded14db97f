// Reading and writing the batch's dynamic state and per-env settings. All of
// it runs on the calling thread: the work is a copy per env, far cheaper
// than handing it to the pool.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binder.hpp"
#include "convert.hpp"
#include "engine_fault.hpp"
#include "state_contract.hpp"
#include "vecenv.hpp"
#include "vecenv_members.hpp"

namespace vecenv {

namespace {

constexpr const char* SET_STATE_NAMES[] = {"ball_pos", "ball_vel", "player_pos", "player_vel", "steps"};
constexpr Signature SET_STATE{"VecEnv.set_state()", SET_STATE_NAMES, 4};
constexpr const char* SET_PLAYER_CMASK_NAMES[] = {"mask"};
constexpr Signature SET_PLAYER_CMASK{"VecEnv.set_player_cmask()", SET_PLAYER_CMASK_NAMES, 1};
constexpr const char* SET_KICK_RATE_LIMIT_NAMES[] = {"min", "cost", "cap"};
constexpr Signature SET_KICK_RATE_LIMIT{"VecEnv.set_kick_rate_limit()", SET_KICK_RATE_LIMIT_NAMES, 3};

// The slot loops below index discs by first_player + slot for the batch's
// player count. Checked for every env before anything is read or written, so
// a broken state stops the call whole instead of being read out of range or
// left half written.
void require_batch_shape(const VecEnvRecord& record, const char* operation) {
    if (record.envs.empty()) throw EngineFault(std::string(operation) + ": the batch has no envs");
    for (const MatchState& state : record.envs) {
        require_consistent_state(state, operation);
        if (state.n_players != record.n_players) {
            throw EngineFault(std::string(operation) + ": an env holds " + std::to_string(state.n_players) +
                              " players, the batch " + std::to_string(record.n_players));
        }
    }
}

Disc& player_disc(MatchState& state, std::size_t slot) { return state.discs[state.first_player + slot]; }
const Disc& player_disc(const MatchState& state, std::size_t slot) { return state.discs[state.first_player + slot]; }

void put(double* out, Vec2 value) {
    out[0] = value.x;
    out[1] = value.y;
}

template <std::size_t D, typename... Index>
Vec2 vec2_at(const ArrayView<double, D>& view, Index... index) {
    return {view.at(index..., 0), view.at(index..., 1)};
}

template <typename T, std::size_t D>
bool has_shape(const ArrayView<T, D>& view, const std::array<Py_ssize_t, D>& shape) {
    return view.shape == shape;
}

}  // namespace

PyObject* snapshot(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        const VecEnvRecord& record = vecenv_record(self);
        require_batch_shape(record, "VecEnv.snapshot()");
        const auto n = static_cast<Py_ssize_t>(record.envs.size());
        const auto p = static_cast<Py_ssize_t>(record.n_players);
        auto ball_pos = new_array<double>({n, 2});
        auto ball_vel = new_array<double>({n, 2});
        auto player_pos = new_array<double>({n, p, 2});
        auto player_vel = new_array<double>({n, p, 2});
        auto steps = new_array<std::int64_t>({n});
        for (Py_ssize_t i = 0; i < n; ++i) {
            const MatchState& state = record.envs[static_cast<std::size_t>(i)];
            put(ball_pos.data + 2 * i, state.discs[0].pos);
            put(ball_vel.data + 2 * i, state.discs[0].vel);
            for (Py_ssize_t j = 0; j < p; ++j) {
                const Disc& player = player_disc(state, static_cast<std::size_t>(j));
                put(player_pos.data + 2 * (i * p + j), player.pos);
                put(player_vel.data + 2 * (i * p + j), player.vel);
            }
            // The counter's bits as int64: a value set from a negative int64
            // reads back as that same value.
            steps.data[i] = static_cast<std::int64_t>(state.steps);
        }
        return py_tuple(std::move(ball_pos.object), std::move(ball_vel.object), std::move(player_pos.object),
                        std::move(player_vel.object), std::move(steps.object))
            .release();
    });
}

PyObject* set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[5];
        bind_arguments(SET_STATE, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        const auto ball_pos = arg_float64_array<2>(bound[0], "ball_pos");
        const auto ball_vel = arg_float64_array<2>(bound[1], "ball_vel");
        const auto player_pos = arg_float64_array<3>(bound[2], "player_pos");
        const auto player_vel = arg_float64_array<3>(bound[3], "player_vel");
        std::optional<ArrayView<std::int64_t, 1>> steps;
        if (bound[4] != nullptr && bound[4] != Py_None) steps = arg_int64_array<1>(bound[4], "steps");

        VecEnvRecord& record = vecenv_record(self);
        const auto n = static_cast<Py_ssize_t>(record.envs.size());
        const auto p = static_cast<Py_ssize_t>(record.n_players);
        const std::string n_text = std::to_string(n);
        if (!has_shape(ball_pos, {n, 2}) || !has_shape(ball_vel, {n, 2})) {
            raise_error(PyExc_ValueError, "set_state: ball_pos " + shape_text(ball_pos) + " / ball_vel " +
                                              shape_text(ball_vel) + " must both be (n_envs=" + n_text + ", 2)");
        }
        if (!has_shape(player_pos, {n, p, 2}) || !has_shape(player_vel, {n, p, 2})) {
            raise_error(PyExc_ValueError, "set_state: player_pos " + shape_text(player_pos) + " / player_vel " +
                                              shape_text(player_vel) + " must both be (n_envs=" + n_text +
                                              ", n_players=" + std::to_string(p) + ", 2)");
        }
        std::vector<std::uint64_t> step_values(static_cast<std::size_t>(n), 0);
        if (steps) {
            if (steps->shape[0] != n) {
                raise_error(PyExc_ValueError,
                            "set_state: steps length " + std::to_string(steps->shape[0]) + " != n_envs " + n_text);
            }
            // Kept as the int64's bits, so snapshot() hands back what came in.
            for (std::size_t i = 0; i < step_values.size(); ++i) step_values[i] = std::uint64_t(steps->at(i));
        }
        require_batch_shape(record, "VecEnv.set_state()");

        // Nothing below can fail: every env is written, or none was.
        for (Py_ssize_t i = 0; i < n; ++i) {
            MatchState& state = record.envs[static_cast<std::size_t>(i)];
            state.discs[0].pos = vec2_at(ball_pos, i);
            state.discs[0].vel = vec2_at(ball_vel, i);
            for (Py_ssize_t j = 0; j < p; ++j) {
                const auto slot = static_cast<std::size_t>(j);
                Disc& player = player_disc(state, slot);
                player.pos = vec2_at(player_pos, i, j);
                player.vel = vec2_at(player_vel, i, j);
                state.kick_flag[slot] = 0;
                state.kick_held[slot] = 0;
                state.kick_cooldown[slot] = 0;
                state.kick_budget[slot] = 0;
            }
            state.steps = step_values[static_cast<std::size_t>(i)];
            // An arbitrary placement is a ball in play: goals count from the
            // next tick, and that tick's end lifts any kickoff barrier.
            state.phase = GamePhase::Playing;
        }
        Py_RETURN_NONE;
    });
}

PyObject* kick_state(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        const VecEnvRecord& record = vecenv_record(self);
        require_batch_shape(record, "VecEnv.kick_state()");
        const MatchState& state = record.envs[0];
        const auto p = static_cast<Py_ssize_t>(record.n_players);
        auto flag = new_array<std::int64_t>({p});
        auto cooldown = new_array<std::int64_t>({p});
        for (std::size_t j = 0; j < record.n_players; ++j) {
            flag.data[j] = state.kick_flag[j] != 0 ? 1 : 0;
            cooldown.data[j] = state.kick_cooldown[j];
        }
        return py_tuple(std::move(flag.object), std::move(cooldown.object)).release();
    });
}

PyObject* teams(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        const VecEnvRecord& record = vecenv_record(self);
        require_batch_shape(record, "VecEnv.teams()");
        const auto n = static_cast<Py_ssize_t>(record.envs.size());
        const auto p = static_cast<Py_ssize_t>(record.n_players);
        auto result = new_array<std::int64_t>({n, p});
        for (Py_ssize_t i = 0; i < n; ++i) {
            const MatchState& state = record.envs[static_cast<std::size_t>(i)];
            for (Py_ssize_t j = 0; j < p; ++j) {
                const Team team = player_disc(state, static_cast<std::size_t>(j)).team;
                result.data[i * p + j] = static_cast<std::int64_t>(team);
            }
        }
        return result.object.release();
    });
}

PyObject* set_player_cmask(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments(SET_PLAYER_CMASK, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        // All 64 bits as given: a negative mask stores its two's complement.
        const auto mask = static_cast<CollisionFlags>(arg_i64(bound[0], "mask"));
        VecEnvRecord& record = vecenv_record(self);
        require_batch_shape(record, "VecEnv.set_player_cmask()");
        for (MatchState& state : record.envs) {
            for (std::size_t j = 0; j < record.n_players; ++j) player_disc(state, j).cMask = mask;
        }
        Py_RETURN_NONE;
    });
}

PyObject* set_kick_rate_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3];
        bind_arguments(SET_KICK_RATE_LIMIT, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        KickRateLimit limit;
        limit.min = arg_i64(bound[0], "min");
        limit.cost = arg_i64(bound[1], "cost");
        limit.cap = arg_i64(bound[2], "cap");
        // The running cooldowns and budgets stay: the new limit governs from
        // the next kick on.
        for (MatchState& state : vecenv_record(self).envs) state.kick_rate_limit = limit;
        Py_RETURN_NONE;
    });
}

}  // namespace vecenv
