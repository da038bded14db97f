// Module initialisation: single-phase, bound to the first interpreter that
// imports the module (the class object, the exception class and the worker
// pool are process-wide and cannot be shared with another interpreter).

#include <cstdint>

#include "match_state.hpp"
#include "numpy_api.hpp"
#include "panic.hpp"
#include "primitives.hpp"
#include "py_ref.hpp"
#include "vecenv.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zorbic_core",
    "",       // no docstring
    0,        // no per-module state
    nullptr,  // the module body adds the functions itself, in its own order
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* first_module = nullptr;  // a strong reference, kept for the process
std::int64_t first_interpreter = -1;

// Appends `name` to __all__ (created by the first addition), then binds it.
void add(PyObject* module, const char* name, PyRef value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            throw PythonError{};
        }
    }
    const PyRef owned_all(all);
    const PyRef name_object = PyRef::checked(PyUnicode_FromString(name));
    if (PyList_Append(all, name_object.get()) < 0) throw PythonError{};
    if (PyObject_SetAttr(module, name_object.get(), value.get()) < 0) throw PythonError{};
}

void run_body(PyObject* module) {
    PyTypeObject* type = vecenv_type();
    if (type == nullptr) throw PythonError{};
    add(module, "VecEnv", PyRef(Py_NewRef(reinterpret_cast<PyObject*>(type))));
    const PyRef module_name = PyRef::checked(PyModule_GetNameObject(module));
    for (PyMethodDef& def : primitive_function_defs())
        add(module, def.ml_name, PyRef::checked(PyCFunction_NewEx(&def, module, module_name.get())));
    add(module, "FLAG_RED", PyRef::checked(PyLong_FromUnsignedLongLong(RED)));
    add(module, "FLAG_BLUE", PyRef::checked(PyLong_FromUnsignedLongLong(BLUE)));
}

PyObject* initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) throw PythonError{};
    if (first_module != nullptr) {
        if (interpreter != first_interpreter)
            raise_error(PyExc_ImportError,
                        "zorbic_core can only be imported into one interpreter per process; it is "
                        "already loaded in another interpreter");
        return Py_NewRef(first_module);
    }
    if (!import_numpy_api() || panic_exception_type() == nullptr) throw PythonError{};
    PyRef module = PyRef::checked(PyModule_Create(&module_def));
    run_body(module.get());
    first_module = Py_NewRef(module.get());
    first_interpreter = interpreter;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_zorbic_core() { return guarded(initialise); }
