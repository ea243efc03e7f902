// Test-only stand-in for the Pareto rating component. It exports a C-level function with the
// same capsule as the real component, follows a scripted rule, can fail at a chosen call, and
// records every X matrix and mode it receives, so tests can see exactly what a kernel hands over.
#define VQ_IMPORT_NUMPY_API
#include "numpy_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numeric>
#include <vector>

#include "py_ref.hpp"
#include "rating_abi.hpp"

namespace {

using vq::MemviewSlice;
using vq::PyRef;

struct Record {
    std::vector<double> X;
    int64_t N, M;
    int mode_i, within_mode_i;
};

// Script and records. The rating function runs without the interpreter lock, possibly on
// several threads, so everything here is guarded by one mutex.
std::mutex g_mutex;
std::vector<std::vector<int64_t>> g_orders, g_fronts;
int64_t g_fail_at = -1;
int g_fail_code = -3;
int64_t g_calls = 0;
std::vector<Record> g_records;

template <class T>
T &at(const MemviewSlice &s, int64_t i) {
    return *reinterpret_cast<T *>(s.data + i * s.strides[0]);
}

int stub_rate(MemviewSlice X, int mode_i, int within_mode_i, MemviewSlice front_id, MemviewSlice within,
              MemviewSlice order, MemviewSlice, MemviewSlice, MemviewSlice, MemviewSlice, MemviewSlice,
              MemviewSlice, vq::Pair *, vq::OrderKey *, MemviewSlice) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const int64_t c = g_calls++;
    const int64_t N = X.shape[0], M = X.shape[1];
    Record rec{std::vector<double>(static_cast<size_t>(N * M)), N, M, mode_i, within_mode_i};
    for (int64_t i = 0; i < N; ++i)
        for (int64_t m = 0; m < M; ++m)
            rec.X[static_cast<size_t>(i * M + m)] = *reinterpret_cast<const double *>(X.data + i * X.strides[0] +
                                                                                      m * X.strides[1]);
    g_records.push_back(std::move(rec));
    if (c == g_fail_at) return g_fail_code;

    std::vector<int64_t> ord(static_cast<size_t>(N)), fr(static_cast<size_t>(N), 0);
    if (!g_orders.empty()) {
        ord = g_orders[static_cast<size_t>(c) % g_orders.size()];
    } else {
        std::iota(ord.begin(), ord.end(), 0);
        if (M > 0) {
            const std::vector<double> &x = g_records.back().X;
            // NaN sorts last, like the real component.
            auto before = [](double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); };
            std::stable_sort(ord.begin(), ord.end(),
                             [&](int64_t a, int64_t b) { return before(x[a * M], x[b * M]); });
        }
    }
    if (!g_fronts.empty()) fr = g_fronts[static_cast<size_t>(c) % g_fronts.size()];
    if (static_cast<int64_t>(ord.size()) != N || static_cast<int64_t>(fr.size()) != N) return -3;
    int64_t n_fronts = 0;
    for (int64_t i = 0; i < N; ++i) {
        at<int64_t>(order, i) = ord[static_cast<size_t>(i)];
        at<int64_t>(front_id, i) = fr[static_cast<size_t>(i)];
        at<double>(within, i) = 0.0;
        n_fronts = std::max(n_fronts, fr[static_cast<size_t>(i)] + 1);
    }
    return static_cast<int>(n_fronts);
}

// A list of int64 lists from a Python sequence of sequences (None gives an empty list).
int read_script(PyObject *obj, std::vector<std::vector<int64_t>> *out) {
    out->clear();
    if (obj == Py_None) return 0;
    PyRef outer = PyRef::steal(PySequence_Fast(obj, "a sequence of sequences is required"));
    if (!outer) return -1;
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(outer.get()); ++j) {
        PyRef inner = PyRef::steal(
            PySequence_Fast(PySequence_Fast_GET_ITEM(outer.get(), j), "a sequence of ints is required"));
        if (!inner) return -1;
        std::vector<int64_t> v;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(inner.get()); ++i) {
            long long x = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(inner.get(), i));
            if (x == -1 && PyErr_Occurred()) return -1;
            v.push_back(x);
        }
        out->push_back(std::move(v));
    }
    return 0;
}

PyObject *configure(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"orders", "fronts", "fail_at", "fail_code", nullptr};
    PyObject *orders = Py_None, *fronts = Py_None;
    long long fail_at = -1;
    int fail_code = -3;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOLi:configure", const_cast<char **>(kwlist), &orders,
                                     &fronts, &fail_at, &fail_code))
        return nullptr;
    std::vector<std::vector<int64_t>> o, f;
    if (read_script(orders, &o) < 0 || read_script(fronts, &f) < 0) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_orders = std::move(o);
    g_fronts = std::move(f);
    g_fail_at = fail_at;
    g_fail_code = fail_code;
    g_calls = 0;
    g_records.clear();
    Py_RETURN_NONE;
}

PyObject *reset(PyObject *, PyObject *) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_orders.clear();
    g_fronts.clear();
    g_fail_at = -1;
    g_fail_code = -3;
    g_calls = 0;
    g_records.clear();
    Py_RETURN_NONE;
}

// [(X, mode_i, within_mode_i), ...], one entry per rating call since the last configure/reset.
PyObject *records(PyObject *, PyObject *) {
    std::lock_guard<std::mutex> lock(g_mutex);
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    for (const Record &r : g_records) {
        npy_intp dims[2] = {r.N, r.M};
        PyRef X = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        if (!X) return nullptr;
        if (!r.X.empty())
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(X.get())), r.X.data(),
                        r.X.size() * sizeof(double));
        PyRef item = PyRef::steal(Py_BuildValue("(Oii)", X.get(), r.mode_i, r.within_mode_i));
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

void free_capsule_name(PyObject *capsule) { std::free(const_cast<char *>(PyCapsule_GetName(capsule))); }

// A capsule of the stand-in function under any name (for load-time signature checks).
PyObject *make_capsule(PyObject *, PyObject *arg) {
    const char *name = PyUnicode_AsUTF8(arg);
    if (!name) return nullptr;
    char *copy = strdup(name);
    if (!copy) return PyErr_NoMemory();
    PyObject *cap = PyCapsule_New(reinterpret_cast<void *>(&stub_rate), copy, free_capsule_name);
    if (!cap) std::free(copy);
    return cap;
}

PyMethodDef methods[] = {
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(configure)),
     METH_VARARGS | METH_KEYWORDS, "Set the script: orders, fronts, fail_at, fail_code; clears records."},
    {"reset", reset, METH_NOARGS, "Back to the default rule; clears records."},
    {"records", records, METH_NOARGS, "List of (X, mode_i, within_mode_i) per rating call."},
    {"make_capsule", make_capsule, METH_O, "Capsule of the stand-in function under the given name."},
    {nullptr, nullptr, 0, nullptr},
};

int stub_exec(PyObject *module) {
    if (vq::import_numpy_api() < 0) return -1;
    PyRef capi = PyRef::steal(PyDict_New());
    PyRef cap = PyRef::steal(PyCapsule_New(reinterpret_cast<void *>(&stub_rate), vq::kRateSignature, nullptr));
    if (!capi || !cap || PyDict_SetItemString(capi.get(), vq::kRateFunctionName, cap.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "__pyx_capi__", capi.get());
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void *>(stub_exec)}, {0, nullptr}};

// clang-format off
PyModuleDef stub_def = {PyModuleDef_HEAD_INIT, "_stub_rating", "Scripted stand-in rating component (tests only).",
                        0, methods, slots, nullptr, nullptr, nullptr};
// clang-format on

}  // namespace

PyMODINIT_FUNC PyInit__stub_rating(void) { return PyModuleDef_Init(&stub_def); }
