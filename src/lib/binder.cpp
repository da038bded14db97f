#include "binder.hpp"

#include <string>
#include <vector>

#include "panic.hpp"

namespace {

[[noreturn]] void binding_error(const Signature& signature, const std::string& what) {
    raise_error(PyExc_TypeError, signature.callable + what);
}

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// "'x'", "'x' and 'y'", "'x', 'y', and 'z'"
std::string name_list(const std::vector<const char*>& names) {
    if (names.size() == 1) return quoted(names[0]);
    if (names.size() == 2) return quoted(names[0]) + " and " + quoted(names[1]);
    std::string text;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) text += quoted(names[i]) + ", ";
    return text + "and " + quoted(names.back());
}

void check_positional_count(const Signature& signature, Py_ssize_t given) {
    const std::size_t most = signature.names.size();
    if (static_cast<std::size_t>(given) <= most) return;
    std::string takes = signature.required == most
                            ? std::to_string(most)
                            : "from " + std::to_string(signature.required) + " to " + std::to_string(most);
    binding_error(signature, " takes " + takes + " positional arguments but " + std::to_string(given) +
                                 (given == 1 ? " was given" : " were given"));
}

void bind_keyword(const Signature& signature, PyObject* name, PyObject* value, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, signature.names[i])) {
            if (out[i] != nullptr)
                binding_error(signature, " got multiple values for argument " + quoted(signature.names[i]));
            out[i] = value;
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.callable, name);
    throw PythonError{};
}

void check_required(const Signature& signature, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i)
        if (out[i] == nullptr) missing.push_back(signature.names[i]);
    if (missing.empty()) return;
    binding_error(signature, " missing " + std::to_string(missing.size()) + " required positional argument" +
                                 (missing.size() == 1 ? ": " : "s: ") + name_list(missing));
}

void bind_positional(const Signature& signature, PyObject* const* items, Py_ssize_t count, std::span<PyObject*> out) {
    check_positional_count(signature, count);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) out[static_cast<std::size_t>(i)] = items[i];
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::span<PyObject*> out) {
    const Py_ssize_t n_positional = PyVectorcall_NARGS(nargsf);
    bind_positional(signature, args, n_positional, out);
    if (kwnames != nullptr) {
        const Py_ssize_t n_keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < n_keywords; ++k)
            bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[n_positional + k], out);
    }
    check_required(signature, out);
}

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    bind_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) bind_keyword(signature, name, value, out);
    }
    check_required(signature, out);
}
