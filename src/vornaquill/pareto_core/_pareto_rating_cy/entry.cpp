// Python side of the rating component: the entry rate_population and the export of
// rate_population_inplace through `__pyx_capi__` (capsule named by its signature).
#define VQ_IMPORT_NUMPY_API
#include "numpy_api.hpp"

#include <cstdlib>
#include <memory>

#include "gil.hpp"
#include "py_ref.hpp"
#include "entry.hpp"
#include "rating.hpp"

namespace vq {
namespace {

constexpr const char kRateDoc[] =
    "rate_population($module, /, X, mode_i=1, within_mode_i=0)\n--\n\n"
    "Pareto-rate one population of N individuals with M objectives (all minimised).\n\n"
    "Parameters\n----------\nX:\n    (N,M) objective values; anything NumPy turns into a 2-D float64 array.\n"
    "mode_i:\n    0=values, 1=ranks (average ranks per objective; changes only the crowding).\n"
    "within_mode_i:\n    0=crowding.\n\n"
    "Returns\n-------\n(front_id, within, order, n_fronts)\n"
    "    front_id: int64 (N,), 0 = non-dominated front\n"
    "    within: float64 (N,), crowding distance inside the front (+inf at the edges)\n"
    "    order: int64 (N,), global order best first (front, then crowding descending, then index)\n"
    "    n_fronts: int\n";

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

PyObject *new_array(int ndim, npy_intp *dims, int typenum) {
    return PyArray_Empty(ndim, dims, PyArray_DescrFromType(typenum), 0);
}

MemviewSlice slice_of(PyObject *a) {
    auto *arr = reinterpret_cast<PyArrayObject *>(a);
    return make_memview(PyArray_DATA(arr), PyArray_NDIM(arr), PyArray_DIMS(arr), PyArray_STRIDES(arr));
}

PyObject *rate_population(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"X", "mode_i", "within_mode_i", nullptr};
    PyObject *X_obj = nullptr;
    int mode_i = 1, within_mode_i = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|ii:rate_population", const_cast<char **>(kwlist), &X_obj,
                                     &mode_i, &within_mode_i))
        return nullptr;
    PyRef X = PyRef::steal(PyArray_FROMANY(X_obj, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!X) return nullptr;
    auto *xa = reinterpret_cast<PyArrayObject *>(X.get());
    if (PyArray_NDIM(xa) != 2) {
        PyErr_SetString(PyExc_ValueError, "expected a 2D array");
        return nullptr;
    }
    if (mode_i != 0 && mode_i != 1) {
        PyErr_SetString(PyExc_ValueError, "mode_i must be 0 (values) or 1 (ranks)");
        return nullptr;
    }
    if (within_mode_i != 0) {
        PyErr_SetString(PyExc_ValueError, "within_mode_i must be 0 (crowding)");
        return nullptr;
    }
    npy_intp N = PyArray_DIM(xa, 0), M = PyArray_DIM(xa, 1);
    if (N > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "X has more rows than 2**31 - 1");
        return nullptr;
    }
    npy_intp d1[1] = {N}, d1p[1] = {N + 1}, dNN[2] = {N, N}, dNM[2] = {N, M};
    PyRef front_id = PyRef::steal(new_array(1, d1, NPY_INT64));
    PyRef within = PyRef::steal(new_array(1, d1, NPY_DOUBLE));
    PyRef order = PyRef::steal(new_array(1, d1, NPY_INT64));
    PyRef offsets = PyRef::steal(new_array(1, d1p, NPY_INT64));
    PyRef items = PyRef::steal(new_array(1, d1, NPY_INT64));
    PyRef dom = PyRef::steal(new_array(2, dNN, NPY_UINT8));
    PyRef n_dom = PyRef::steal(new_array(1, d1, NPY_INT32));
    PyRef cur = PyRef::steal(new_array(1, d1, NPY_INT32));
    PyRef nxt = PyRef::steal(new_array(1, d1, NPY_INT32));
    PyRef R = PyRef::steal(new_array(2, dNM, NPY_DOUBLE));
    if (!front_id || !within || !order || !offsets || !items || !dom || !n_dom || !cur || !nxt || !R) return nullptr;
    const size_t n_rec = N > 1 ? static_cast<size_t>(N) : 1;
    std::unique_ptr<Pair, FreeDeleter> pairs(static_cast<Pair *>(std::malloc(n_rec * sizeof(Pair))));
    std::unique_ptr<OrderKey, FreeDeleter> keys(static_cast<OrderKey *>(std::malloc(n_rec * sizeof(OrderKey))));
    if (!pairs || !keys) return PyErr_NoMemory();
    int code;
    {
        GilRelease nogil;
        code = rating::rate_population_inplace(
            slice_of(X.get()), mode_i, within_mode_i, slice_of(front_id.get()), slice_of(within.get()),
            slice_of(order.get()), slice_of(offsets.get()), slice_of(items.get()), slice_of(dom.get()),
            slice_of(n_dom.get()), slice_of(cur.get()), slice_of(nxt.get()), pairs.get(), keys.get(),
            slice_of(R.get()));
    }
    if (code < 0) {
        PyErr_Format(PyExc_ValueError, "pareto_core returned error code: %d", code);
        return nullptr;
    }
    return Py_BuildValue("(OOOi)", front_id.get(), within.get(), order.get(), code);
}

}  // namespace

PyMethodDef kRatingMethods[] = {
    {"rate_population", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(rate_population)),
     METH_VARARGS | METH_KEYWORDS, kRateDoc},
    {nullptr, nullptr, 0, nullptr},
};

int rating_exec(PyObject *module) {
    if (_import_array() < 0) {
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return -1;
    }
    PyRef capi = PyRef::steal(PyDict_New());
    if (!capi) return -1;
    PyRef capsule = PyRef::steal(
        PyCapsule_New(reinterpret_cast<void *>(&rating::rate_population_inplace), kRateSignature, nullptr));
    if (!capsule || PyDict_SetItemString(capi.get(), kRateFunctionName, capsule.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "__pyx_capi__", capi.get());
}

}  // namespace vq
