#pragma once

// The C entry points of the VecEnv methods that live outside the type's own
// file; vecenv_type.cpp lists them in the member table with their docstrings.
// Each one binds its arguments (binder.hpp), takes the borrow (borrow.hpp),
// converts its arguments in parameter order (convert.hpp), validates, and runs
// inside `guarded` (panic.hpp).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vecenv {

// vecenv_step.cpp
PyObject* physics_step(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* reset_all(PyObject* self, PyObject* unused) noexcept;
PyObject* reset_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* rollout_bench(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// vecenv_state.cpp
PyObject* snapshot(PyObject* self, PyObject* unused) noexcept;
PyObject* set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* kick_state(PyObject* self, PyObject* unused) noexcept;
PyObject* teams(PyObject* self, PyObject* unused) noexcept;
PyObject* set_player_cmask(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* set_kick_rate_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// vecenv_geometry.cpp
PyObject* goals(PyObject* self, PyObject* unused) noexcept;
PyObject* wall_segments(PyObject* self, PyObject* unused) noexcept;
PyObject* obstacle_discs(PyObject* self, PyObject* unused) noexcept;

// vecenv_predict.cpp
PyObject* predict_ball(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace vecenv
