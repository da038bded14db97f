// Reading and writing the batch's dynamic state and per-env settings.

#include "binder.hpp"
#include "convert.hpp"
#include "vecenv.hpp"
#include "vecenv_members.hpp"

namespace vecenv {

namespace {

[[noreturn]] void not_yet(const char* callable) {
    raise_error(PyExc_NotImplementedError, std::string(callable) + " lands with a later change");
}

constexpr const char* SET_STATE_NAMES[] = {"ball_pos", "ball_vel", "player_pos", "player_vel", "steps"};
constexpr Signature SET_STATE{"VecEnv.set_state()", SET_STATE_NAMES, 4};
constexpr const char* SET_PLAYER_CMASK_NAMES[] = {"mask"};
constexpr Signature SET_PLAYER_CMASK{"VecEnv.set_player_cmask()", SET_PLAYER_CMASK_NAMES, 1};
constexpr const char* SET_KICK_RATE_LIMIT_NAMES[] = {"min", "cost", "cap"};
constexpr Signature SET_KICK_RATE_LIMIT{"VecEnv.set_kick_rate_limit()", SET_KICK_RATE_LIMIT_NAMES, 3};

}  // namespace

PyObject* snapshot(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        not_yet("VecEnv.snapshot()");
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
        if (bound[4] != nullptr && bound[4] != Py_None) static_cast<void>(arg_int64_array<1>(bound[4], "steps"));
        static_cast<void>(ball_pos);
        static_cast<void>(ball_vel);
        static_cast<void>(player_pos);
        static_cast<void>(player_vel);
        not_yet(SET_STATE.callable);
    });
}

PyObject* kick_state(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        not_yet("VecEnv.kick_state()");
    });
}

PyObject* teams(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        not_yet("VecEnv.teams()");
    });
}

PyObject* set_player_cmask(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments(SET_PLAYER_CMASK, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        static_cast<void>(arg_i64(bound[0], "mask"));
        not_yet(SET_PLAYER_CMASK.callable);
    });
}

PyObject* set_kick_rate_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3];
        bind_arguments(SET_KICK_RATE_LIMIT, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        static_cast<void>(arg_i64(bound[0], "min"));
        static_cast<void>(arg_i64(bound[1], "cost"));
        static_cast<void>(arg_i64(bound[2], "cap"));
        not_yet(SET_KICK_RATE_LIMIT.callable);
    });
}

}  // namespace vecenv
