#pragma once

// Conversions between Python objects and the engine's values. Every `arg_*`
// function takes the parameter's name for its message and throws PythonError
// on failure. A TypeError raised while converting becomes
//   TypeError("argument '<name>': <original message>")
// keeping the original's __cause__; OverflowError and the other errors
// (UnicodeEncodeError, ...) pass through unchanged.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "panic.hpp"
#include "py_ref.hpp"
#include "vec2.hpp"

// ---- in ----

// Any object with __index__ (int, bool, NumPy integers); floats are refused.
// Negative or too large values raise the interpreter's OverflowError.
std::uint64_t arg_u64(PyObject* object, const char* name);
std::int64_t arg_i64(PyObject* object, const char* name);

// Whatever float() accepts (floats, ints, __float__, __index__).
double arg_f64(PyObject* object, const char* name);

// A tuple (or tuple subclass) of exactly two numbers.
Vec2 arg_vec2(PyObject* object, const char* name);

// The UTF-8 text of a str (or subclass). The view stays valid while `object`
// is alive. Lone surrogates raise UnicodeEncodeError.
std::string_view arg_utf8(PyObject* object, const char* name);

// A sequence (not a str) of unsigned 64-bit integers, read element by element
// through __index__.
std::vector<std::uint64_t> arg_u64_sequence(PyObject* object, const char* name);

// A read-only window on a NumPy array argument: any strides (negative ones
// included), any alignment. Valid for the duration of the call only; the
// worker threads may read it since it holds no Python object.
template <typename T, std::size_t D>
struct ArrayView {
    const char* data;
    std::array<Py_ssize_t, D> shape;
    std::array<Py_ssize_t, D> strides;  // in bytes

    template <typename... Index>
    T at(Index... index) const {
        static_assert(sizeof...(Index) == D);
        const Py_ssize_t position[] = {static_cast<Py_ssize_t>(index)...};
        const char* element = data;
        for (std::size_t axis = 0; axis < D; ++axis) element += position[axis] * strides[axis];
        // memcpy: NumPy arrays need not be aligned for T.
        T value;
        std::memcpy(&value, element, sizeof value);
        return value;
    }
};

// NumPy arrays (ndarray or subclass) of exactly D dimensions whose dtype is
// equivalent to the native one named (for int64 any native 64-bit signed
// integer type). Anything else: TypeError
// "argument '<name>': '<type>' object cannot be converted to 'PyArray<T, D>'".
template <std::size_t D>
ArrayView<std::int64_t, D> arg_int64_array(PyObject* object, const char* name);
template <std::size_t D>
ArrayView<double, D> arg_float64_array(PyObject* object, const char* name);
// Booleans as the bytes NumPy stores: 0 is false, anything else true.
template <std::size_t D>
ArrayView<std::uint8_t, D> arg_bool_array(PyObject* object, const char* name);

// "[4, 2, 3]": how shapes are written in messages.
template <typename T, std::size_t D>
std::string shape_text(const ArrayView<T, D>& view) {
    std::string text = "[";
    for (std::size_t axis = 0; axis < D; ++axis) {
        if (axis != 0) text += ", ";
        text += std::to_string(view.shape[axis]);
    }
    return text + "]";
}

// ---- out ----

PyRef py_int(std::uint64_t value);
PyRef py_int(std::int64_t value);
PyRef py_float(double value);
PyRef py_vec2(Vec2 value);  // a 2-tuple of floats

// A tuple that takes over the given references.
template <typename... Items>
PyRef py_tuple(Items&&... items) {
    PyRef tuple = PyRef::checked(PyTuple_New(sizeof...(Items)));
    Py_ssize_t index = 0;
    ((PyTuple_SET_ITEM(tuple.get(), index++, items.release())), ...);
    return tuple;
}

// A new, writeable, C-contiguous array owning its memory; fill it through
// `data` before handing it out.
template <typename T>
struct NewArray {
    PyRef object;
    T* data;
};
// T is double, std::int64_t or std::int8_t. Extents must be non-negative.
template <typename T>
NewArray<T> new_array(std::initializer_list<Py_ssize_t> shape);
