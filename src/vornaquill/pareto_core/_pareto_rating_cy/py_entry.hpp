// Python side of the rating component, shared by every module that carries it: the method
// table (rate_population) and the exec slot that exports rate_population_inplace.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq {

extern PyMethodDef kRatingMethods[];

// Adds `__pyx_capi__` to the module (the caller has imported NumPy's C API first).
int rating_exec(PyObject *module);

}  // namespace vq
