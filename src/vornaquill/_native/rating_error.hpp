// The error that every caller of the rating component raises for a negative result: the text
// is part of the call contract, so it is written once, here.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq {

// ValueError "pareto_core returned error code: <code>"; returns NULL.
inline PyObject *raise_rating_error(int code) {
    PyErr_Format(PyExc_ValueError, "pareto_core returned error code: %d", code);
    return nullptr;
}

}  // namespace vq
