#pragma once

// Binds call arguments to named parameters the way Python functions do:
// positional first, then keywords; every parameter may be given either way.
// Failures raise TypeError with the callable's name in front, e.g.
//   "VecEnv.physics_step() missing 1 required positional argument: 'actions'"
// and throw PythonError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

struct Signature {
    const char* callable;                // as shown in messages: "VecEnv.physics_step()"
    std::span<const char* const> names;  // every parameter, in order
    std::size_t required;                // the first `required` names have no default
};

// For METH_FASTCALL | METH_KEYWORDS. `out` has one slot per parameter and
// receives borrowed references, nullptr for an optional parameter not given.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::span<PyObject*> out);

// The same for a positional tuple and an optional keyword dict (tp_new).
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// The calling convention of every function with parameters.
inline constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

// Method tables store every entry point as a PyCFunction; going through
// void(*)() tells the compiler the signature change is deliberate.
template <typename Function>
PyCFunction as_cfunction(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
