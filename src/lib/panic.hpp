#pragma once

// Every entry point of the module is noexcept and runs its body through
// `guarded`, so no C++ exception ever unwinds into the interpreter:
//  - PythonError: a Python exception is already set; just report failure;
//  - std::bad_alloc, std::length_error (a size beyond what can be allocated):
//    MemoryError;
//  - EngineFault and every other C++ exception: PanicException, a
//    BaseException subclass, so that a broken invariant is not swallowed by
//    an ordinary `except Exception`.
// The interpreter lock must be held when the exception leaves the body.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

// Thrown once a Python exception has been set.
struct PythonError {};

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise_error(PyObject* type, const std::string& message);

// Throws PythonError if a Python exception is pending (after an API call that
// reports failure only through the error indicator).
void throw_if_error_set();

// Creates the PanicException class once per process (module initialisation
// calls it); returns a borrowed reference, or nullptr with an error set.
PyObject* panic_exception_type();

// Turns the C++ exception in flight into the matching Python exception. Call
// only from inside a catch block.
void translate_current_exception() noexcept;

template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}
