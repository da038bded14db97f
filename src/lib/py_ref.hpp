#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "panic.hpp"

// An owned (strong) reference, released when the holder goes out of scope, so
// that an error path between creating a result and returning it leaks nothing.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : object_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes ownership of the result of a C-API call that returns a new
    // reference, throwing PythonError when the call failed.
    static PyRef checked(PyObject* new_reference) {
        if (new_reference == nullptr) throw PythonError{};
        return PyRef(new_reference);
    }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};
