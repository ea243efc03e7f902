// Python side of the rating component: the entry rate_population and the export of
// rate_population_inplace through `__pyx_capi__` (capsule named by its signature).
#define VQ_IMPORT_NUMPY_API
#include "numpy_api.hpp"

#include <cstdlib>

#include "gil.hpp"
#include "py_ref.hpp"
#include "rating_error.hpp"
#include "py_entry.hpp"
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

// Populations of at least this many values (N x M) are rated with the interpreter lock released.
// Below, the rating takes a few microseconds, less than other threads could gain, and releasing
// and re-taking the lock costs a noticeable part of that (measured: about 0.3 us a call).
constexpr npy_intp kReleaseGilMinValues = 4096;

// Every piece of the working storage starts at a multiple of this many bytes, which suits every
// element type of the buffer table.
constexpr size_t kPieceAlign = 8;

constexpr bool piece_align_suits_every_element() {
    for (const ElemInfo &e : kElems)
        if (kPieceAlign % e.align != 0) return false;
    return true;
}
static_assert(piece_align_suits_every_element(), "kPieceAlign must be a multiple of every element's alignment");

// Working storage of one call (the Work rows of kRatingBuffers), carved out of a single heap block.
class Scratch {
public:
    Scratch(npy_intp N, npy_intp M) {
        size_t at[kNumRatingBuffers] = {}, total = 0;
        for (const BufferSpec &spec : kRatingBuffers) {
            if (spec.role != Role::Work) continue;
            at[spec.id] = total;
            total = (total + byte_size(spec, N, M) + kPieceAlign - 1) & ~(kPieceAlign - 1);
        }
        block_ = static_cast<char *>(std::malloc(total));
        if (!block_) return;
        for (const BufferSpec &spec : kRatingBuffers)
            if (spec.role == Role::Work) data_[spec.id] = block_ + at[spec.id];
    }
    ~Scratch() { std::free(block_); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    bool ok() const { return block_ != nullptr; }

    template <class T>
    T *get(RatingBuffer id) const {
        return reinterpret_cast<T *>(data_[id]);
    }

private:
    char *block_ = nullptr;
    char *data_[kNumRatingBuffers] = {};
};

template <class T>
T *data_of(PyObject *array) {
    return static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
}

// X as a C-contiguous, aligned float64 array: an array that already is one as it stands (the
// usual call, and the cheapest check), anything else through NumPy's conversion.
PyObject *as_float64_carray(PyObject *obj) {
    if (PyArray_CheckExact(obj)) {
        auto *a = reinterpret_cast<PyArrayObject *>(obj);
        if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_ISCARRAY_RO(a)) {
            Py_INCREF(obj);
            return obj;
        }
    }
    return PyArray_FROMANY(obj, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST);
}

PyObject *new_array(int ndim, npy_intp *dims, int typenum) {
    return PyArray_Empty(ndim, dims, PyArray_DescrFromType(typenum), 0);
}

// The arguments of any other call than rate_population(X), through the tuple-and-dict parser.
int parse_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **X_obj, int *mode_i,
                    int *within_mode_i) {
    static const char *kwlist[] = {"X", "mode_i", "within_mode_i", nullptr};
    PyRef tuple = PyRef::steal(PyTuple_New(nargs));
    if (!tuple) return -1;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, PyRef::borrow(args[i]).release());
    PyRef kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = PyRef::steal(PyDict_New());
        if (!kwargs) return -1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return -1;
    }
    // X stays alive after the tuple goes: the caller holds it.
    return PyArg_ParseTupleAndKeywords(tuple.get(), kwargs.get(), "O|ii:rate_population",
                                       const_cast<char **>(kwlist), X_obj, mode_i, within_mode_i)
               ? 0
               : -1;
}

PyObject *rate_population(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *X_obj = nullptr;
    int mode_i = 1, within_mode_i = 0;
    if (nargs == 1 && !kwnames) {
        X_obj = args[0];  // the usual call, which needs no parsing
    } else if (parse_arguments(args, nargs, kwnames, &X_obj, &mode_i, &within_mode_i) < 0) {
        return nullptr;
    }
    PyRef X = PyRef::steal(as_float64_carray(X_obj));
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
    // The working storage, which the caller never sees, comes from one heap block. Every buffer is
    // this call's own, of the right size, contiguous and aligned, so the rating runs on them
    // directly: the slices and checks of the C-level entry are for buffers from elsewhere.
    Scratch scratch(N, M);
    if (!scratch.ok()) return PyErr_NoMemory();
    const rating::Buffers b{N,
                            M,
                            data_of<const double>(X.get()),
                            data_of<int64_t>(front_id.get()),
                            data_of<double>(within.get()),
                            data_of<int64_t>(order.get()),
                            scratch.get<int64_t>(kBufOffsets),
                            scratch.get<int64_t>(kBufItems),
                            scratch.get<uint8_t>(kBufDom),
                            scratch.get<int32_t>(kBufNDom),
                            scratch.get<int32_t>(kBufCur),
                            scratch.get<int32_t>(kBufNxt),
                            scratch.get<Pair>(kBufPairs),
                            scratch.get<OrderKey>(kBufKeys),
                            scratch.get<double>(kBufR)};
    int code;
    if (N * M >= kReleaseGilMinValues) {
        GilRelease nogil;
        code = rating::rate(mode_i, b);
    } else {
        code = rating::rate(mode_i, b);
    }
    if (code < 0) return raise_rating_error(code);
    PyRef n_fronts = PyRef::steal(PyLong_FromLong(code));
    if (!n_fronts) return nullptr;
    return PyTuple_Pack(4, front_id.get(), within.get(), order.get(), n_fronts.get());
}

}  // namespace

PyMethodDef kRatingMethods[] = {
    {"rate_population", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(rate_population)),
     METH_FASTCALL | METH_KEYWORDS, kRateDoc},
    {nullptr, nullptr, 0, nullptr},
};

int rating_exec(PyObject *module) {
    PyRef capi = PyRef::steal(PyDict_New());
    if (!capi) return -1;
    PyRef capsule = PyRef::steal(
        PyCapsule_New(reinterpret_cast<void *>(&rating::rate_population_inplace), kRateSignature, nullptr));
    if (!capsule || PyDict_SetItemString(capi.get(), kRateFunctionName, capsule.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "__pyx_capi__", capi.get());
}

}  // namespace vq
