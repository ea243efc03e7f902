#include "numpy_calls.hpp"

#include "check.hpp"
#include "kernels.hpp"

namespace vq {
namespace {

// A NumPy call gave something other than an ndarray (possible only when `np` was replaced).
PyRef not_an_ndarray(PyObject *got) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(got)->tp_name,
                 g_ndarray_type->tp_name);
    return PyRef();
}

// The kernels read the coerced array as packed native doubles, row by row. NumPy's own calls
// always give such an array; a replaced `np` might not, and is then refused like a non-array.
bool packed_doubles(PyArrayObject *a) {
    return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_ISALIGNED(a) &&
           PyArray_IS_C_CONTIGUOUS(a);
}

PyRef wrong_layout(PyArrayObject *a) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s array to C-contiguous aligned float64",
                 PyArray_DESCR(a)->typeobj->tp_name);
    return PyRef();
}

}  // namespace

int Np::bind(PyObject *module) {
    PyObject *dict = PyModule_GetDict(module);  // borrowed
    PyObject *np = PyDict_GetItemString(dict, "np");  // borrowed
    if (!np) {
        PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
        return -1;
    }
    np_ = PyRef::borrow(np);
    return 0;
}

PyRef Np::call(const char *fn, std::initializer_list<PyObject *> args, const char *kw_name,
               PyObject *kw_value) const {
    PyRef f = attr(fn);
    if (!f) return f;
    constexpr size_t kMaxArgs = 7;  // positional arguments; calls here pass at most two
    PyObject *stack[kMaxArgs + 1];
    VQ_ASSERT(args.size() <= kMaxArgs);
    size_t n = 0;
    for (PyObject *a : args) stack[n++] = a;
    if (!kw_name) return PyRef::steal(PyObject_Vectorcall(f.get(), stack, n, nullptr));
    PyRef kwnames = PyRef::steal(Py_BuildValue("(s)", kw_name));
    if (!kwnames) return kwnames;
    stack[n] = kw_value;
    return PyRef::steal(PyObject_Vectorcall(f.get(), stack, n, kwnames.get()));
}

PyRef Np::new_array(const char *maker, int ndim, const npy_intp *dims, const DType &dtype) const {
    PyRef dt = attr(dtype.name);
    if (!dt) return dt;
    PyRef shape_obj = PyRef::steal(PyTuple_New(ndim));
    if (!shape_obj) return shape_obj;
    for (int d = 0; d < ndim; ++d) {
        PyObject *e = PyLong_FromSsize_t(dims[d]);
        if (!e) return PyRef();
        PyTuple_SET_ITEM(shape_obj.get(), d, e);
    }
    PyObject *shape_arg = ndim == 1 ? PyTuple_GET_ITEM(shape_obj.get(), 0) : shape_obj.get();
    PyRef arr = call(maker, {shape_arg}, "dtype", dt.get());
    if (!arr) return arr;
    bool ok = PyObject_TypeCheck(arr.get(), g_ndarray_type);
    if (ok) {
        auto *a = reinterpret_cast<PyArrayObject *>(arr.get());
        ok = PyArray_NDIM(a) == ndim && PyArray_ISCARRAY(a) && PyArray_TYPE(a) == dtype.typenum;
        for (int d = 0; ok && d < ndim; ++d) ok = PyArray_DIM(a, d) == dims[d];
    }
    if (!ok) return not_an_ndarray(arr.get());
    return arr;
}

PyRef _as_contig_f64_2d(const Np &np, PyObject *A_obj) {
    PyRef asarray = np.attr("asarray");
    if (!asarray) return asarray;
    PyRef f64 = np.attr("float64");
    if (!f64) return f64;
    PyRef kwnames = PyRef::steal(Py_BuildValue("(s)", "dtype"));
    if (!kwnames) return kwnames;
    PyObject *stack[2] = {A_obj, f64.get()};
    PyRef arr = PyRef::steal(PyObject_Vectorcall(asarray.get(), stack, 1, kwnames.get()));
    if (!arr) return arr;
    if (!PyObject_TypeCheck(arr.get(), g_ndarray_type)) return not_an_ndarray(arr.get());
    auto *a = reinterpret_cast<PyArrayObject *>(arr.get());
    if (PyArray_NDIM(a) != 2) {
        PyErr_SetString(PyExc_ValueError, "expected a 2D array");
        return PyRef();
    }
    PyRef flags = PyRef::steal(PyObject_GetAttrString(arr.get(), "flags"));
    if (!flags) return flags;
    PyRef key = PyRef::steal(PyUnicode_FromString("C_CONTIGUOUS"));
    if (!key) return key;
    PyRef c_contig = PyRef::steal(PyObject_GetItem(flags.get(), key.get()));
    if (!c_contig) return c_contig;
    int truth = PyObject_IsTrue(c_contig.get());
    if (truth < 0) return PyRef();
    // A C-contiguous array at an odd address (a view into a byte buffer) is contiguous already,
    // so ascontiguousarray would hand it back as it is: copy it into aligned storage instead.
    if (truth && packed_doubles(a)) return arr;
    PyRef copy = truth ? PyRef::steal(PyArray_NewCopy(a, NPY_CORDER)) : np.call("ascontiguousarray", {arr.get()});
    if (!copy) return copy;
    if (!PyObject_TypeCheck(copy.get(), g_ndarray_type)) return not_an_ndarray(copy.get());
    auto *c = reinterpret_cast<PyArrayObject *>(copy.get());
    if (PyArray_NDIM(c) != 2 || PyArray_DIM(c, 0) != PyArray_DIM(a, 0) || PyArray_DIM(c, 1) != PyArray_DIM(a, 1) ||
        !packed_doubles(c))
        return wrong_layout(c);
    return copy;
}

}  // namespace vq
