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

#include "rating_abi.hpp"

namespace vq {

// The slice record of an array, as the rating component's call contract passes it.
inline MemviewSlice slice_of(PyObject *array) {
    auto *a = reinterpret_cast<PyArrayObject *>(array);
    return make_memview(PyArray_DATA(a), PyArray_NDIM(a), PyArray_DIMS(a), PyArray_STRIDES(a));
}

}  // namespace vq
