// Calls into NumPy's Python API through the module global `np`, looked up on every call.
#pragma once
#include "numpy_api.hpp"

#include <initializer_list>

#include "py_ref.hpp"

namespace vq {

// Element types of the arrays the kernels create: the name of the dtype attribute of `np` and
// the type number the created array must carry.
struct DType {
    const char *name;
    int typenum;
};
inline constexpr DType F64{"float64", NPY_FLOAT64};
inline constexpr DType I64{"int64", NPY_INT64};
inline constexpr DType I32{"int32", NPY_INT32};
inline constexpr DType U8{"uint8", NPY_UINT8};

class Np {
public:
    // Look `np` up in the module namespace; -1 with NameError when it is missing.
    int bind(PyObject *module);

    PyRef attr(const char *name) const { return PyRef::steal(PyObject_GetAttrString(np_.get(), name)); }

    // np.<maker>(shape, dtype=np.<dtype>) for maker "empty" or "zeros". The result is checked to
    // be a C-contiguous, writeable ndarray of that shape and element type, since the kernels
    // write into it directly.
    PyRef new_array(const char *maker, int ndim, const npy_intp *dims, const DType &dtype) const;
    PyRef new_array(const char *maker, npy_intp n, const DType &dtype) const {
        return new_array(maker, 1, &n, dtype);
    }
    PyRef new_array(const char *maker, npy_intp rows, npy_intp cols, const DType &dtype) const {
        const npy_intp dims[2] = {rows, cols};
        return new_array(maker, 2, dims, dtype);
    }

    // np.<fn>(args..., **{kw_name: np.<kw_dtype>}) with an optional dtype keyword.
    PyRef call(const char *fn, std::initializer_list<PyObject *> args, const char *kw_name = nullptr,
               PyObject *kw_value = nullptr) const;

private:
    PyRef np_;
};

// Raw storage of an array that the kernel created itself.
template <class T>
inline T *data_of(const PyRef &a) {
    return static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.get())));
}

// The array coercion of the kernels: 2-D, float64, C-contiguous; copies only when it must.
PyRef _as_contig_f64_2d(const Np &np, PyObject *A_obj);

}  // namespace vq
