// Python side of the rating component: the entry rate_population and the export of
// rate_population_inplace through `__pyx_capi__` (capsule named by its signature).
#define VQ_IMPORT_NUMPY_API
#include "numpy_api.hpp"

#include <cstdlib>

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

// Working storage of one call, carved out of a single heap block (8-byte aligned pieces).
class Scratch {
public:
    Scratch(npy_intp N, npy_intp M) {
        const size_t n = static_cast<size_t>(N), m = static_cast<size_t>(M), n_rec = n > 1 ? n : 1;
        const size_t at_offsets = 0, at_items = next(at_offsets, 8 * (n + 1)), at_n_dom = next(at_items, 8 * n),
                     at_cur = next(at_n_dom, 4 * n), at_nxt = next(at_cur, 4 * n), at_R = next(at_nxt, 4 * n),
                     at_pairs = next(at_R, 8 * n * m), at_keys = next(at_pairs, sizeof(Pair) * n_rec),
                     at_dom = next(at_keys, sizeof(OrderKey) * n_rec), total = next(at_dom, n * n);
        block_ = static_cast<char *>(std::malloc(total));
        if (!block_) return;
        offsets = vec<int64_t>(at_offsets, N + 1);
        items = vec<int64_t>(at_items, N);
        n_dom = vec<int32_t>(at_n_dom, N);
        cur = vec<int32_t>(at_cur, N);
        nxt = vec<int32_t>(at_nxt, N);
        const npy_intp nm[2] = {N, M}, nm_strides[2] = {M * 8, 8}, nn[2] = {N, N}, nn_strides[2] = {N, 1};
        R = make_memview(block_ + at_R, 2, nm, nm_strides);
        dom = make_memview(block_ + at_dom, 2, nn, nn_strides);
        pairs = reinterpret_cast<Pair *>(block_ + at_pairs);
        keys = reinterpret_cast<OrderKey *>(block_ + at_keys);
    }
    ~Scratch() { std::free(block_); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    bool ok() const { return block_ != nullptr; }

    MemviewSlice offsets{}, items{}, dom{}, n_dom{}, cur{}, nxt{}, R{};
    Pair *pairs = nullptr;
    OrderKey *keys = nullptr;

private:
    static size_t next(size_t at, size_t bytes) { return (at + bytes + 7) & ~size_t{7}; }
    template <class T>
    MemviewSlice vec(size_t at, npy_intp n) const {
        const npy_intp shape[1] = {n}, strides[1] = {sizeof(T)};
        return make_memview(block_ + at, 1, shape, strides);
    }
    char *block_ = nullptr;
};

PyObject *new_array(int ndim, npy_intp *dims, int typenum) {
    return PyArray_Empty(ndim, dims, PyArray_DescrFromType(typenum), 0);
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
    npy_intp d1[1] = {N};
    PyRef front_id = PyRef::steal(new_array(1, d1, NPY_INT64));
    PyRef within = PyRef::steal(new_array(1, d1, NPY_DOUBLE));
    PyRef order = PyRef::steal(new_array(1, d1, NPY_INT64));
    if (!front_id || !within || !order) return nullptr;
    // The working storage, which the caller never sees, comes from one heap block.
    Scratch scratch(N, M);
    if (!scratch.ok()) return PyErr_NoMemory();
    int code;
    {
        GilRelease nogil;
        code = rating::rate_population_inplace(slice_of(X.get()), mode_i, within_mode_i, slice_of(front_id.get()),
                                               slice_of(within.get()), slice_of(order.get()), scratch.offsets,
                                               scratch.items, scratch.dom, scratch.n_dom, scratch.cur, scratch.nxt,
                                               scratch.pairs, scratch.keys, scratch.R);
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
