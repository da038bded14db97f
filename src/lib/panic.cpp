#include "panic.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace {

PyObject* panic_type = nullptr;  // lives for the rest of the process

void set_panic(const char* message) {
    PyObject* type = panic_exception_type();
    // If even the class cannot be made, its creation error is the one left set.
    if (type != nullptr) PyErr_SetString(type, message);
}

}  // namespace

[[noreturn]] void raise_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

void throw_if_error_set() {
    if (PyErr_Occurred() != nullptr) throw PythonError{};
}

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type =
            PyErr_NewExceptionWithDoc("zorbic_core.PanicException",
                                      "An internal invariant of the engine was broken. Derived from BaseException so\n"
                                      "that it is not caught by handlers meant for ordinary errors.",
                                      PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (PyErr_Occurred() == nullptr)
            PyErr_SetString(PyExc_SystemError, "an error was reported without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than can ever be allocated.
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        set_panic(failure.what());
    } catch (...) {
        set_panic("unknown internal failure");
    }
}
