// Stepping and resetting the batch: physics_step, reset_all, reset_mask and
// rollout_bench. The per-env work runs on the worker pool and touches only
// the envs' native state and plain buffers, never a Python object.

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "binder.hpp"
#include "borrow.hpp"
#include "convert.hpp"
#include "engine_fault.hpp"
#include "game_flow.hpp"
#include "py_ref.hpp"
#include "tick.hpp"
#include "vecenv.hpp"
#include "vecenv_members.hpp"
#include "worker_pool.hpp"

namespace vecenv {

namespace {

// The per-env action buffer lives on a worker's stack and holds at most this
// many players; every batch is built within that limit, so a record beyond it
// is a broken invariant, not a caller's mistake.
void check_player_count(const VecEnvRecord& record) {
    if (record.n_players > MAX_PLAYERS)
        throw EngineFault("a batch of " + std::to_string(record.n_players) + " players exceeds the " +
                          std::to_string(MAX_PLAYERS) + "-entry action buffer");
}

// Advances one env by up to tick_skip ticks under one set of actions, held for
// the whole call. Returns the low byte of the conceding team of a goal, which
// ends the env's call at that tick, or -1.
// A PlayerAction is the three int64 of one row of the actions array, so a
// row-major array's rows of one env are copied as they lie.
static_assert(sizeof(PlayerAction) == 3 * sizeof(std::int64_t));

std::int8_t step_env(MatchState& state, const ArrayView<std::int64_t, 3>& actions, std::size_t env,
                     std::uint64_t n_players, std::uint64_t tick_skip) {
    PlayerAction buffer[MAX_PLAYERS];  // the tick reads the first n_players
    if (actions.strides[2] == sizeof(std::int64_t) && actions.strides[1] == sizeof(PlayerAction)) {
        std::memcpy(buffer, actions.data + static_cast<Py_ssize_t>(env) * actions.strides[0],
                    n_players * sizeof(PlayerAction));
    } else {
        for (std::size_t slot = 0; slot < n_players; ++slot) {
            buffer[slot] = {actions.at(env, slot, 0), actions.at(env, slot, 1), actions.at(env, slot, 2)};
        }
    }
    const TickRun run = tick_repeatedly(state, buffer, n_players, tick_skip);
    if (run.goal) return static_cast<std::int8_t>(static_cast<std::uint8_t>(*run.goal & 0xFF));
    return -1;
}

// Every player holds (1, 1, 1) throughout, except that slot 0 presses kick on
// odd ticks and releases it on even ones, so kicks keep being armed and spent.
void bench_env(MatchState& state, std::uint64_t n_players, std::uint64_t n_steps) {
    PlayerAction buffer[MAX_PLAYERS];
    for (PlayerAction& action : buffer) action = {1, 1, 1};
    TickSequence ticks(state, buffer, n_players);
    for (std::uint64_t t = 0; t < n_steps; ++t) {
        ticks.next();
        buffer[0].kick = 1 - buffer[0].kick;
    }
}

// Takes the interpreter lock back after running without it. A daemon thread
// that comes back while the interpreter shuts down is ended by the
// interpreter with a forced unwind (the only way anything unwinds out of this
// C function); letting that through the module's noexcept entry points would
// abort the whole process during an otherwise clean exit. Such a thread parks
// here instead, as the interpreter's own threads do in newer versions, until
// the process is gone.
void retake_interpreter_lock(PyThreadState* saved) {
    try {
        PyEval_RestoreThread(saved);
    } catch (...) {
        for (;;) pause();
    }
}

constexpr const char* PHYSICS_STEP_NAMES[] = {"actions"};
constexpr Signature PHYSICS_STEP_SIGNATURE{"VecEnv.physics_step()", PHYSICS_STEP_NAMES, 1};

constexpr const char* RESET_MASK_NAMES[] = {"mask"};
constexpr Signature RESET_MASK_SIGNATURE{"VecEnv.reset_mask()", RESET_MASK_NAMES, 1};

constexpr const char* ROLLOUT_BENCH_NAMES[] = {"n_steps"};
constexpr Signature ROLLOUT_BENCH_SIGNATURE{"VecEnv.rollout_bench()", ROLLOUT_BENCH_NAMES, 1};

}  // namespace

PyObject* physics_step(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* bound[1];
        bind_arguments(PHYSICS_STEP_SIGNATURE, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        const ArrayView<std::int64_t, 3> actions = arg_int64_array<3>(bound[0], "actions");

        VecEnvRecord& record = vecenv_record(self);
        const std::uint64_t n_envs = record.envs.size();
        if (static_cast<std::uint64_t>(actions.shape[0]) != n_envs ||
            static_cast<std::uint64_t>(actions.shape[1]) != record.n_players || actions.shape[2] != 3) {
            raise_error(PyExc_ValueError, "physics_step: actions shape " + shape_text(actions) +
                                              " != expected (n_envs=" + std::to_string(n_envs) +
                                              ", n_players=" + std::to_string(record.n_players) + ", 3)");
        }
        check_player_count(record);

        // The result exists before any env moves: if it could not be made,
        // the caller would otherwise lose the goals of a step that happened.
        NewArray<std::int8_t> scored = new_array<std::int8_t>({static_cast<Py_ssize_t>(n_envs)});
        const std::uint64_t n_players = record.n_players;
        const std::uint64_t tick_skip = record.tick_skip;
        std::int8_t* out = scored.data;
        worker_pool::parallel_for(
            n_envs, [&](std::size_t i) { out[i] = step_env(record.envs[i], actions, i, n_players, tick_skip); });
        return scored.object.release();
    });
}

PyObject* reset_all(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        for (MatchState& state : vecenv_record(self).envs) reset_match(state);
        Py_RETURN_NONE;
    });
}

PyObject* reset_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* bound[1];
        bind_arguments(RESET_MASK_SIGNATURE, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        const ArrayView<std::uint8_t, 1> mask = arg_bool_array<1>(bound[0], "mask");

        VecEnvRecord& record = vecenv_record(self);
        const std::uint64_t n_envs = record.envs.size();
        if (static_cast<std::uint64_t>(mask.shape[0]) != n_envs) {
            raise_error(PyExc_ValueError, "reset_mask: mask length " + std::to_string(mask.shape[0]) + " != n_envs " +
                                              std::to_string(n_envs));
        }
        worker_pool::parallel_for(n_envs, [&](std::size_t i) {
            if (mask.at(i) != 0) reset_match(record.envs[i]);
        });
        Py_RETURN_NONE;
    });
}

PyObject* rollout_bench(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* bound[1];
        bind_arguments(ROLLOUT_BENCH_SIGNATURE, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        const std::uint64_t n_steps = arg_u64(bound[0], "n_steps");

        VecEnvRecord& record = vecenv_record(self);
        check_player_count(record);
        const std::uint64_t n_envs = record.envs.size();
        const std::uint64_t n_players = record.n_players;
        // Made before the run so that nothing can fail after it.
        PyRef envs_count = py_int(n_envs);
        PyRef steps_count = py_int(n_steps);

        // While the lock is released, other threads may use other VecEnv
        // objects; this one stays exclusively borrowed, so they cannot reach
        // its envs. A failure on the pool is caught so that it is raised only
        // once the lock is held again.
        std::exception_ptr fault;
        PyThreadState* saved = PyEval_SaveThread();
        try {
            worker_pool::parallel_for(n_envs, [&](std::size_t i) { bench_env(record.envs[i], n_players, n_steps); });
        } catch (...) {
            fault = std::current_exception();
        }
        retake_interpreter_lock(saved);
        if (fault) std::rethrow_exception(fault);

        // The product of two 64-bit counts can exceed 64 bits: Python ints
        // do not.
        return PyNumber_Multiply(envs_count.get(), steps_count.get());
    });
}

}  // namespace vecenv
