// Test-only window onto the pure numeric code of the kernels: the P² estimator operations on
// caller-owned records (NumPy arrays or any writable buffer), the seeded generator, and the
// rating call's buffer table.
#include "py_ref.hpp"

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "accumulators.hpp"
#include "p2.hpp"
#include "box_muller.hpp"
#include "rating_abi.hpp"

namespace {

using vq::PyRef;

// A writable, C-contiguous buffer of exactly `count` items of one element type.
class Cells {
public:
    Cells() = default;
    Cells(const Cells &) = delete;
    Cells &operator=(const Cells &) = delete;
    ~Cells() {
        if (view_.obj) PyBuffer_Release(&view_);
    }

    // kind 'f' for float64, 'i' for int32; count < 0 accepts any length.
    int get(PyObject *obj, char kind, Py_ssize_t count, bool writable, const char *what) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return -1;
        const char *fmt = view_.format ? view_.format : "B";
        while (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '!') ++fmt;
        const bool type_ok = kind == 'f' ? (std::strcmp(fmt, "d") == 0 && view_.itemsize == 8)
                                         : ((std::strcmp(fmt, "i") == 0 || std::strcmp(fmt, "l") == 0) &&
                                            view_.itemsize == 4);
        if (!type_ok) {
            PyErr_Format(PyExc_TypeError, "%s must hold %s", what, kind == 'f' ? "float64" : "int32");
            return -1;
        }
        if (count >= 0 && view_.len != count * view_.itemsize) {
            PyErr_Format(PyExc_ValueError, "%s must have %zd elements", what, count);
            return -1;
        }
        return 0;
    }
    template <class T>
    T *data() const {
        return static_cast<T *>(view_.buf);
    }
    Py_ssize_t size() const { return view_.len / view_.itemsize; }

private:
    Py_buffer view_{};
};

struct Record {
    Cells q, npos, ndes;
    int get(PyObject *const *args) {
        if (q.get(args[0], 'f', 5, true, "q") < 0) return -1;
        if (npos.get(args[1], 'i', 5, true, "npos") < 0) return -1;
        return ndes.get(args[2], 'f', 5, true, "ndes");
    }
};

int check_nargs(const char *name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs == want) return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, want, nargs);
    return -1;
}

int read_doubles(PyObject *const *args, Py_ssize_t n, double *out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = PyFloat_AsDouble(args[i]);
        if (out[i] == -1.0 && PyErr_Occurred()) return -1;
    }
    return 0;
}

PyObject *sort5(PyObject *, PyObject *arg) {
    Cells a;
    if (a.get(arg, 'f', 5, true, "a") < 0) return nullptr;
    vq::_sort5(a.data<double>());
    Py_RETURN_NONE;
}

// _p2_init(q, npos, ndes, p, s0, s1, s2, s3, s4)
PyObject *p2_init(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("_p2_init", nargs, 9) < 0) return nullptr;
    Record r;
    if (r.get(args) < 0) return nullptr;
    double v[6];
    if (read_doubles(args + 3, 6, v) < 0) return nullptr;
    vq::_p2_init(r.q.data<double>(), r.npos.data<int32_t>(), r.ndes.data<double>(), v[0], v[1], v[2], v[3], v[4],
                 v[5]);
    Py_RETURN_NONE;
}

// _p2_update(q, npos, ndes, p, x)
PyObject *p2_update(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("_p2_update", nargs, 5) < 0) return nullptr;
    Record r;
    if (r.get(args) < 0) return nullptr;
    double v[2];
    if (read_doubles(args + 3, 2, v) < 0) return nullptr;
    vq::_p2_update(r.q.data<double>(), r.npos.data<int32_t>(), r.ndes.data<double>(), v[0], v[1]);
    Py_RETURN_NONE;
}

// p2_stream(q, npos, ndes, p, xs): _p2_update for every element of the float64 buffer xs, in
// order (a long stream without a Python call per observation).
PyObject *p2_stream(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("p2_stream", nargs, 5) < 0) return nullptr;
    Record r;
    if (r.get(args) < 0) return nullptr;
    double p;
    if (read_doubles(args + 3, 1, &p) < 0) return nullptr;
    Cells xs;
    if (xs.get(args[4], 'f', -1, false, "xs") < 0) return nullptr;
    const double *x = xs.data<double>();
    for (Py_ssize_t j = 0; j < xs.size(); ++j)
        vq::_p2_update(r.q.data<double>(), r.npos.data<int32_t>(), r.ndes.data<double>(), p, x[j]);
    Py_RETURN_NONE;
}

int read_seed(PyObject *obj, uint64_t *seed) {
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    *seed = v;
    return 0;
}

// A generator seeded afresh and the count of values to draw from it.
int seeded(const char *name, PyObject *const *args, Py_ssize_t nargs, vq::Xoshiro256ss *st, Py_ssize_t *n) {
    if (check_nargs(name, nargs, 2) < 0) return -1;
    uint64_t seed;
    if (read_seed(args[0], &seed) < 0) return -1;
    *n = PyLong_AsSsize_t(args[1]);
    if (*n == -1 && PyErr_Occurred()) return -1;
    if (*n < 0) {
        PyErr_SetString(PyExc_ValueError, "n must be >= 0");
        return -1;
    }
    vq::_xoshiro_seed(*st, seed);
    return 0;
}

PyObject *xoshiro_seed(PyObject *, PyObject *arg) {
    uint64_t seed;
    if (read_seed(arg, &seed) < 0) return nullptr;
    vq::Xoshiro256ss st;
    vq::_xoshiro_seed(st, seed);
    return Py_BuildValue("(KKKKid)", static_cast<unsigned long long>(st.s0),
                         static_cast<unsigned long long>(st.s1), static_cast<unsigned long long>(st.s2),
                         static_cast<unsigned long long>(st.s3), static_cast<int>(st.has_spare), st.spare);
}

template <class Draw>
PyObject *draw_list(const char *name, PyObject *const *args, Py_ssize_t nargs, Draw draw) {
    vq::Xoshiro256ss st;
    Py_ssize_t n;
    if (seeded(name, args, nargs, &st, &n) < 0) return nullptr;
    PyRef out = PyRef::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject *item = draw(st);
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), j, item);
    }
    return out.release();
}

PyObject *xoshiro_next_u64(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return draw_list("xoshiro_next_u64", args, nargs,
                     [](vq::Xoshiro256ss &st) { return PyLong_FromUnsignedLongLong(vq::_xoshiro_next_u64(st)); });
}

PyObject *xoshiro_randn(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return draw_list("xoshiro_randn", args, nargs,
                     [](vq::Xoshiro256ss &st) { return PyFloat_FromDouble(vq::_xoshiro_randn(st)); });
}

// accumulator_config(n_samples, N, quantiles_mode_i, budget) -> (use_p2, S_init)
PyObject *accumulator_config(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("accumulator_config", nargs, 4) < 0) return nullptr;
    long long v[4];
    for (int i = 0; i < 4; ++i) {
        v[i] = PyLong_AsLongLong(args[i]);
        if (v[i] == -1 && PyErr_Occurred()) return nullptr;
    }
    if (v[0] < 1 || v[0] > INT32_MAX || v[1] < 0 || v[1] > INT32_MAX || v[2] < INT32_MIN || v[2] > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "n_samples, N or quantiles_mode_i out of range");
        return nullptr;
    }
    const vq::AccumulatorConfig c = vq::configure_accumulators(
        static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]), static_cast<int32_t>(v[2]), v[3]);
    return Py_BuildValue("(ii)", static_cast<int>(c.use_p2), static_cast<int>(c.S_init));
}

PyObject *list_of(const std::vector<double> &v) {
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!out) return nullptr;
    for (size_t j = 0; j < v.size(); ++j) {
        PyObject *item = PyFloat_FromDouble(v[j]);
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(j), item);
    }
    return out.release();
}

// accumulate(x, N, use_p2, S_init): run the per-individual accumulators over the float64 buffer x
// of n_samples * N * 3 observations (sample, then individual, then metric place/front/within),
// individuals in index order, starting the estimators after sample 4 in streaming mode. Returns a
// dict of flat float lists: mean and M2 (metric, individual), buf (metric, sample, individual),
// q, npos, ndes (metric, probability, individual, marker).
PyObject *accumulate(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("accumulate", nargs, 4) < 0) return nullptr;
    Cells xs;
    if (xs.get(args[0], 'f', -1, false, "x") < 0) return nullptr;
    long long v[3];
    for (int i = 0; i < 3; ++i) {
        v[i] = PyLong_AsLongLong(args[i + 1]);
        if (v[i] == -1 && PyErr_Occurred()) return nullptr;
    }
    const long long N = v[0];
    if (N < 1 || N > 100000 || xs.size() % (3 * N) != 0 || v[2] < 0 || v[2] > xs.size() / (3 * N) ||
        (v[1] && (v[2] != 5 || xs.size() / (3 * N) < 5))) {
        PyErr_SetString(PyExc_ValueError, "inconsistent N, use_p2, S_init or observation count");
        return nullptr;
    }
    const int32_t n_samples = static_cast<int32_t>(xs.size() / (3 * N));
    vq::Accumulators acc;
    acc.N = static_cast<int32_t>(N);
    acc.cfg = {static_cast<int32_t>(v[1] != 0), static_cast<int32_t>(v[2])};
    const size_t n = static_cast<size_t>(N), S = static_cast<size_t>(v[2]);
    std::vector<double> mean(3 * n, 0.0), M2(3 * n, 0.0), buf(3 * S * n), q(45 * n), ndes(45 * n);
    std::vector<int32_t> npos(45 * n);
    for (int m = 0; m < vq::kMetrics; ++m) {
        acc.mean[m] = &mean[m * n];
        acc.M2[m] = &M2[m * n];
        acc.buf[m] = buf.data() + m * S * n;
        for (int j = 0; j < 3; ++j) {
            const size_t off = (static_cast<size_t>(m) * 3 + static_cast<size_t>(j)) * 5 * n;
            acc.q[m][j] = &q[off];
            acc.npos[m][j] = &npos[off];
            acc.ndes[m][j] = &ndes[off];
        }
    }
    const double *x = xs.data<double>();
    for (int32_t s = 0; s < n_samples; ++s) {
        for (int32_t i = 0; i < acc.N; ++i) {
            const double *o = x + (static_cast<size_t>(s) * n + static_cast<size_t>(i)) * 3;
            const double triple[3] = {o[0], o[1], o[2]};
            acc.update(i, s, static_cast<double>(s + 1), triple);
        }
        if (s == 4 && acc.cfg.use_p2) acc.init_estimators();
    }
    std::vector<double> npos_d(npos.begin(), npos.end());
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    const std::pair<const char *, const std::vector<double> *> items[] = {
        {"mean", &mean}, {"M2", &M2}, {"buf", &buf}, {"q", &q}, {"npos", &npos_d}, {"ndes", &ndes}};
    for (const auto &kv : items) {
        PyRef lst = PyRef::steal(list_of(*kv.second));
        if (!lst || PyDict_SetItemString(out.get(), kv.first, lst.get()) < 0) return nullptr;
    }
    return out.release();
}

// The rating call's buffer table for a population of N x M: (name, element, shape) per buffer.
PyObject *rating_buffers(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    long long N = 0, M = 0;
    if (nargs != 2 || (N = PyLong_AsLongLong(args[0])) < 0 || (M = PyLong_AsLongLong(args[1])) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "rating_buffers(N, M) takes two counts >= 0");
        return nullptr;
    }
    PyRef out = PyRef::steal(PyTuple_New(vq::kNumRatingBuffers));
    for (int id = 0; out && id < vq::kNumRatingBuffers; ++id) {
        const vq::BufferSpec &b = vq::kRatingBuffers[id];
        const long long rows = vq::extent(b.rows, N, M), cols = vq::extent(b.cols, N, M);
        PyObject *row = vq::ndim(b) == 1 ? Py_BuildValue("ss(L)", b.name, vq::elem_name(b.elem), rows)
                                         : Py_BuildValue("ss(LL)", b.name, vq::elem_name(b.elem), rows, cols);
        if (!row) return nullptr;
        PyTuple_SET_ITEM(out.get(), id, row);
    }
    return out.release();
}

template <class F>
PyCFunction fast(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef methods[] = {
    {"_sort5", sort5, METH_O, "_sort5(a): sort five float64 values ascending in place."},
    {"_p2_init", fast(p2_init), METH_FASTCALL,
     "_p2_init(q, npos, ndes, p, s0, s1, s2, s3, s4): initialise a record (float64[5], int32[5], float64[5])."},
    {"_p2_update", fast(p2_update), METH_FASTCALL, "_p2_update(q, npos, ndes, p, x): absorb one observation."},
    {"p2_stream", fast(p2_stream), METH_FASTCALL,
     "p2_stream(q, npos, ndes, p, xs): absorb every float64 of xs in order."},
    {"xoshiro_seed", xoshiro_seed, METH_O, "xoshiro_seed(seed) -> (s0, s1, s2, s3, has_spare, spare)."},
    {"xoshiro_next_u64", fast(xoshiro_next_u64), METH_FASTCALL,
     "xoshiro_next_u64(seed, n) -> the first n 64-bit outputs of a freshly seeded generator."},
    {"xoshiro_randn", fast(xoshiro_randn), METH_FASTCALL,
     "xoshiro_randn(seed, n) -> the first n normal deviates of a freshly seeded generator."},
    {"accumulator_config", fast(accumulator_config), METH_FASTCALL,
     "accumulator_config(n_samples, N, quantiles_mode_i, budget) -> (use_p2, S_init)."},
    {"accumulate", fast(accumulate), METH_FASTCALL,
     "accumulate(x, N, use_p2, S_init) -> dict of the accumulator state after every observation of x."},
    {"rating_buffers", fast(rating_buffers), METH_FASTCALL,
     "rating_buffers(N, M) -> ((name, element, shape), ...): the rating call's buffers, in creation order."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{0, nullptr}};

// clang-format off
PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_native_probe", "Pure numeric kernel code exposed for tests.",
                         0, methods, slots, nullptr, nullptr, nullptr};
// clang-format on

}  // namespace

PyMODINIT_FUNC PyInit__native_probe(void) { return PyModuleDef_Init(&probe_def); }
