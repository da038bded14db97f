// The stadium's geometry as arrays for observation code.

#include "convert.hpp"
#include "vecenv.hpp"
#include "vecenv_members.hpp"

namespace vecenv {

namespace {

[[noreturn]] void not_yet(const char* callable) {
    raise_error(PyExc_NotImplementedError, std::string(callable) + " lands with a later change");
}

}  // namespace

PyObject* goals(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        not_yet("VecEnv.goals()");
    });
}

PyObject* wall_segments(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        not_yet("VecEnv.wall_segments()");
    });
}

PyObject* obstacle_discs(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const SharedBorrow borrow(vecenv_borrow(self));
        not_yet("VecEnv.obstacle_discs()");
    });
}

}  // namespace vecenv
