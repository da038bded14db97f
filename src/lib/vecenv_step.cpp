// Stepping and resetting the batch on the worker pool.

#include "binder.hpp"
#include "convert.hpp"
#include "vecenv.hpp"
#include "vecenv_members.hpp"

namespace vecenv {

namespace {

[[noreturn]] void not_yet(const char* callable) {
    raise_error(PyExc_NotImplementedError, std::string(callable) + " lands with a later change");
}

constexpr const char* PHYSICS_STEP_NAMES[] = {"actions"};
constexpr Signature PHYSICS_STEP{"VecEnv.physics_step()", PHYSICS_STEP_NAMES, 1};
constexpr const char* RESET_MASK_NAMES[] = {"mask"};
constexpr Signature RESET_MASK{"VecEnv.reset_mask()", RESET_MASK_NAMES, 1};
constexpr const char* ROLLOUT_BENCH_NAMES[] = {"n_steps"};
constexpr Signature ROLLOUT_BENCH{"VecEnv.rollout_bench()", ROLLOUT_BENCH_NAMES, 1};

}  // namespace

PyObject* physics_step(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments(PHYSICS_STEP, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        const auto actions = arg_int64_array<3>(bound[0], "actions");
        static_cast<void>(actions);
        not_yet(PHYSICS_STEP.callable);
    });
}

PyObject* reset_all(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        not_yet("VecEnv.reset_all()");
    });
}

PyObject* reset_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments(RESET_MASK, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        const auto mask = arg_bool_array<1>(bound[0], "mask");
        static_cast<void>(mask);
        not_yet(RESET_MASK.callable);
    });
}

PyObject* rollout_bench(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments(ROLLOUT_BENCH, args, nargsf, kwnames, bound);
        const ExclusiveBorrow borrow(vecenv_borrow(self));
        const std::uint64_t n_steps = arg_u64(bound[0], "n_steps");
        static_cast<void>(n_steps);
        not_yet(ROLLOUT_BENCH.callable);
    });
}

}  // namespace vecenv
