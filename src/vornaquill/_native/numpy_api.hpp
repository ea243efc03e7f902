// NumPy C API for extensions split over several files: the file that imports the API table
// defines VQ_IMPORT_NUMPY_API before including this header; every other file shares its table.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL VQ_NUMPY_ARRAY_API
#ifndef VQ_IMPORT_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
