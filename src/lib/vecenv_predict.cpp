// Ball-trajectory prediction for every env.

#include "binder.hpp"
#include "convert.hpp"
#include "vecenv.hpp"
#include "vecenv_members.hpp"

namespace vecenv {

namespace {

constexpr const char* PREDICT_BALL_NAMES[] = {"offsets"};
constexpr Signature PREDICT_BALL{"VecEnv.predict_ball()", PREDICT_BALL_NAMES, 1};

}  // namespace

PyObject* predict_ball(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments(PREDICT_BALL, args, nargsf, kwnames, bound);
        const SharedBorrow borrow(vecenv_borrow(self));
        const std::vector<std::uint64_t> offsets = arg_u64_sequence(bound[0], "offsets");
        static_cast<void>(offsets);
        raise_error(PyExc_NotImplementedError, std::string(PREDICT_BALL.callable) + " lands with a later change");
    });
}

}  // namespace vecenv
