#include "convert.hpp"

#include "numpy_api.hpp"

namespace {

// Re-raises a pending TypeError (exactly that class; subclasses keep their
// identity) as "argument '<name>': <message>", with the same __cause__, and
// throws PythonError in every case.
[[noreturn]] void fail_argument(const char* name) {
    PyObject* original = PyErr_GetRaisedException();
    if (original == nullptr || Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original);
        throw PythonError{};
    }
    PyRef owned_original(original);
    PyRef wrapped = PyRef::checked(
        PyObject_CallFunction(PyExc_TypeError, "N", PyUnicode_FromFormat("argument '%s': %S", name, original)));
    PyException_SetCause(wrapped.get(), PyException_GetCause(original));
    PyErr_SetRaisedException(wrapped.release());
    throw PythonError{};
}

[[noreturn]] void fail_conversion(PyObject* object, const char* name, const char* target) {
    PyRef type_name = PyRef::checked(PyType_GetName(Py_TYPE(object)));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
    fail_argument(name);
}

template <typename Result, Result (*from_long)(PyObject*)>
Result index_value(PyObject* object, const char* name) {
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) fail_argument(name);
    const PyRef owned(index);
    const Result value = from_long(index);
    if (PyErr_Occurred() != nullptr) fail_argument(name);
    return value;
}

template <typename T>
constexpr int numpy_type_number();
template <>
constexpr int numpy_type_number<std::int64_t>() {
    return NPY_INT64;
}
template <>
constexpr int numpy_type_number<double>() {
    return NPY_FLOAT64;
}
// Boolean arrays are read as their raw bytes, never as C++ bool: a byte other
// than 0 or 1 (possible through views) must not be undefined behaviour.
template <>
constexpr int numpy_type_number<std::uint8_t>() {
    return NPY_BOOL;
}
template <>
constexpr int numpy_type_number<std::int8_t>() {
    return NPY_INT8;
}

template <typename T, std::size_t D>
ArrayView<T, D> array_view(PyObject* object, const char* name) {
    bool matches = PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == int(D);
    if (matches) {
        // An equivalent type in the native byte order: a byte-swapped array
        // would be read as garbage, so it is refused like any other dtype.
        PyArray_Descr* wanted = PyArray_DescrFromType(numpy_type_number<T>());
        if (wanted == nullptr) throw PythonError{};
        matches = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object)), wanted);
        Py_DECREF(wanted);
    }
    if (!matches) fail_conversion(object, name, "PyArray<T, D>");
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    ArrayView<T, D> view{};
    view.data = static_cast<const char*>(PyArray_DATA(array));
    for (std::size_t axis = 0; axis < D; ++axis) {
        view.shape[axis] = PyArray_DIM(array, int(axis));
        view.strides[axis] = PyArray_STRIDE(array, int(axis));
    }
    return view;
}

}  // namespace

std::uint64_t arg_u64(PyObject* object, const char* name) {
    return index_value<unsigned long long, PyLong_AsUnsignedLongLong>(object, name);
}

std::int64_t arg_i64(PyObject* object, const char* name) {
    return index_value<long long, PyLong_AsLongLong>(object, name);
}

double arg_f64(PyObject* object, const char* name) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) fail_argument(name);
    return value;
}

Vec2 arg_vec2(PyObject* object, const char* name) {
    if (!PyTuple_Check(object)) fail_conversion(object, name, "PyTuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length != 2) {
        PyErr_Format(PyExc_TypeError, "expected tuple of length 2, but got tuple of length %zd", length);
        fail_argument(name);
    }
    const double x = arg_f64(PyTuple_GET_ITEM(object, 0), name);
    const double y = arg_f64(PyTuple_GET_ITEM(object, 1), name);
    return {x, y};
}

std::string_view arg_utf8(PyObject* object, const char* name) {
    if (!PyUnicode_Check(object)) fail_conversion(object, name, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) fail_argument(name);
    return {text, static_cast<std::size_t>(size)};
}

std::vector<std::uint64_t> arg_u64_sequence(PyObject* object, const char* name) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        fail_argument(name);
    }
    if (!PySequence_Check(object)) fail_conversion(object, name, "Sequence");
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) fail_argument(name);
    std::vector<std::uint64_t> values;
    values.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* item = PySequence_GetItem(object, i);
        if (item == nullptr) fail_argument(name);
        const PyRef owned(item);
        values.push_back(arg_u64(item, name));
    }
    return values;
}

template <std::size_t D>
ArrayView<std::int64_t, D> arg_int64_array(PyObject* object, const char* name) {
    return array_view<std::int64_t, D>(object, name);
}
template <std::size_t D>
ArrayView<double, D> arg_float64_array(PyObject* object, const char* name) {
    return array_view<double, D>(object, name);
}
template <std::size_t D>
ArrayView<std::uint8_t, D> arg_bool_array(PyObject* object, const char* name) {
    return array_view<std::uint8_t, D>(object, name);
}

template ArrayView<std::int64_t, 1> arg_int64_array<1>(PyObject*, const char*);
template ArrayView<std::int64_t, 3> arg_int64_array<3>(PyObject*, const char*);
template ArrayView<double, 2> arg_float64_array<2>(PyObject*, const char*);
template ArrayView<double, 3> arg_float64_array<3>(PyObject*, const char*);
template ArrayView<std::uint8_t, 1> arg_bool_array<1>(PyObject*, const char*);

PyRef py_int(std::uint64_t value) { return PyRef::checked(PyLong_FromUnsignedLongLong(value)); }
PyRef py_int(std::int64_t value) { return PyRef::checked(PyLong_FromLongLong(value)); }
PyRef py_float(double value) { return PyRef::checked(PyFloat_FromDouble(value)); }
PyRef py_vec2(Vec2 value) { return py_tuple(py_float(value.x), py_float(value.y)); }

template <typename T>
NewArray<T> new_array(std::initializer_list<Py_ssize_t> shape) {
    npy_intp extents[NPY_MAXDIMS];
    int ndim = 0;
    for (Py_ssize_t extent : shape) extents[ndim++] = extent;
    PyRef object = PyRef::checked(PyArray_SimpleNew(ndim, extents, numpy_type_number<T>()));
    T* data = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(object.get())));
    return {std::move(object), data};
}

template NewArray<double> new_array<double>(std::initializer_list<Py_ssize_t>);
template NewArray<std::int64_t> new_array<std::int64_t>(std::initializer_list<Py_ssize_t>);
template NewArray<std::int8_t> new_array<std::int8_t>(std::initializer_list<Py_ssize_t>);
