#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

// The module-level functions over the contact primitives, in the order the
// module adds them: disc_disc, disc_vertex, segment_no_curve, segment_curve,
// disc_plane.
std::span<PyMethodDef> primitive_function_defs();
