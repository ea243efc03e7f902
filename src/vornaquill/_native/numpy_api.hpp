// NumPy C API for extensions split over several files: the file that imports the API table
// defines VQ_IMPORT_NUMPY_API before including this header; every other file shares its table.
// Also the slice record of an array, which both extensions hand to the rating call.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL VQ_NUMPY_ARRAY_API
#ifndef VQ_IMPORT_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "py_ref.hpp"
#include "rating_abi.hpp"

namespace vq {

// Fill the extension's API table from NumPy, with NumPy's version checks; the exec step of every
// module calls it first. Any failure reads as the classic import error, the underlying error's
// text kept in parentheses. 0 on success, -1 with ImportError set. Defined in the file that
// defines VQ_IMPORT_NUMPY_API (only there is NumPy's import routine visible).
int import_numpy_api();

#ifdef VQ_IMPORT_NUMPY_API
int import_numpy_api() {
    if (_import_array() >= 0) return 0;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef cause = PyRef::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (cause) PyErr_Format(PyExc_ImportError, "numpy.core.multiarray failed to import (%S)", cause.get());
    else PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return -1;
}
#endif

// The slice record of an array, as the rating component's call contract passes it.
inline MemviewSlice slice_of(PyObject *array) {
    auto *a = reinterpret_cast<PyArrayObject *>(array);
    return make_memview(PyArray_DATA(a), PyArray_NDIM(a), PyArray_DIMS(a), PyArray_STRIDES(a));
}

}  // namespace vq
