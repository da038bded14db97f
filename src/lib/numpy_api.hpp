#pragma once

// The NumPy C API is a table of function pointers that NumPy hands out at
// run time. One translation unit (numpy_api.cpp) owns the table; every other
// one that includes this header refers to it by the shared symbol name.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL zorbic_core_numpy_api
#ifndef ZORBIC_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// Fetches the table from the installed NumPy the first time; returns false
// with an ImportError set when NumPy cannot be imported.
bool import_numpy_api();
