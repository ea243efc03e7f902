// Module vornaquill.selection_core._parallel: the load sequence and the three public functions
// (argument parsing, docstrings). The sampling kernels are the single-threaded kernels' set-up and
// results around a multi-threaded sampling loop (parallel.cpp, pool.cpp).
#define VQ_IMPORT_NUMPY_API
#include "numpy_api.hpp"

#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <thread>

#include "accumulators.hpp"
#include "arguments.hpp"
#include "parallel.hpp"
#include "py_ref.hpp"
#include "rating_abi.hpp"
#include "threads.hpp"
#include "watch.hpp"

namespace vq {

namespace {

// The docstrings state the thread limit and the watch's interval in words.
static_assert(par::kMaxThreads == 256 && par::Watch::kLookInterval == std::chrono::milliseconds(25),
              "the docstrings below say at most 256 threads and every 25 ms");

#define VQ_ARGS_DOC                                                                                     \
    "    mu, sigma2:\n        (N, M) means and variances of the objectives (anything NumPy turns into " \
    "a 2-D\n        float64 array).\n    n_samples:\n        Number of Monte-Carlo samples.\n    "      \
    "percentile, seed, mode_i, within_mode_i:\n        As for the single-threaded kernel.\n"
#define VQ_THREADS_DOC                                                                                  \
    "    threads:\n        Number of threads for the sampling (the calling thread included), at most "  \
    "256;\n        0 = every core this process may run on. Never more threads than samples.\n"          \
    "    ties:\n        \"index\": the rating breaks ties by index, and the result is the "             \
    "single-threaded\n        kernel's, bit for bit, for every seed and any number of threads.\n"       \
    "        \"random\": every sample presents the population to the rating in a fresh random\n"        \
    "        order (drawn from a generator seeded from `seed` and the sample) and maps the\n"           \
    "        results back, so equal individuals win equally often. The sampled objective values "       \
    "are\n        those of \"index\"; the result does not depend on the number of threads.\n"           \
    "    progress:\n        None, or a callable called with (samples done, n_samples): (0, n_samples) " \
    "first,\n        then about every 25 ms, and (n_samples, n_samples) at the end. An exception "      \
    "from it\n        stops the call and propagates.\n"
#define VQ_RAISES_DOC                                                                           \
    "KeyboardInterrupt (Ctrl-C) within about 25 ms or one sample, whichever is longer: every\n" \
    "thread stops and is joined before it is raised.\n"

constexpr const char kModuleDoc[] =
    "Multi-threaded Monte-Carlo Pareto ranking: the kernels of `_mc_rank` with the sampling spread\n"
    "over several threads of the package's own, and an optional fair tie rule.\n\n"
    "counts(...)          -> (win_count, lose_count, rank_sum), as mc_rank_counts\n"
    "select(...)          -> (winners, losers, win_count, lose_count, rank_sum), as mc_rank_select\n"
    "select_detailed(...) -> the nine-slot tuple of mc_rank_select_detailed\n\n"
    "With ties=\"index\" every result equals the single-threaded kernel's bit for bit, whatever the\n"
    "number of threads. The interpreter lock is released while the threads sample; the calling thread\n"
    "re-takes it briefly every 25 ms to run signal handlers (Ctrl-C stops a call) and the progress\n"
    "callback.";

// The docstrings' bodies; each function's text signature is put in front of its body when the
// module is first loaded, from the parameter table (see make_functions).
constexpr const char kCountsDoc[] =
    "Win/lose counts and rank sums of `mc_rank_counts`, sampled on several threads.\n\n"
    "Parameters\n----------\n" VQ_ARGS_DOC VQ_THREADS_DOC
    "\nReturns\n-------\n(win_count, lose_count, rank_sum): int32, int32, int64 arrays of shape (N,).\n\n"
    "Raises\n------\nThe errors of `mc_rank_counts` (a rating error in any thread stops every thread);\n"
    "ValueError for threads outside [0, 256] or an unknown ties rule; TypeError for a progress that\n"
    "is not callable; RuntimeError when a thread cannot be started;\n" VQ_RAISES_DOC;

constexpr const char kSelectDoc[] =
    "Winners and losers of `mc_rank_select`, sampled on several threads.\n\n"
    "Parameters\n----------\n" VQ_ARGS_DOC VQ_THREADS_DOC
    "\nReturns\n-------\n(winners, losers, win_count, lose_count, rank_sum); winners and losers are int64\n"
    "arrays of shape (k,).\n\nRaises\n------\nAs `counts`.\n";

constexpr const char kDetailedDoc[] =
    "The detailed selection of `mc_rank_select_detailed`, sampled on several threads.\n\n"
    "Every individual's observations reach its moments and quantile estimators in sample order,\n"
    "so means, standard deviations, exact and streaming quantiles and quality scores are those of\n"
    "the single-threaded kernel.\n\n"
    "Parameters\n----------\n" VQ_ARGS_DOC
    "    quantiles_mode_i, quantiles_budget, quality_w_place, quality_w_front,\n    quality_w_within, "
    "quality_sign:\n        As for the single-threaded kernel.\n" VQ_THREADS_DOC
    "\nReturns\n-------\n(winners_i, losers_i, win_count, lose_count, rank_sum, place_stats, front_stats,\n"
    "within_stats, quality_score), as `mc_rank_select_detailed`.\n\nRaises\n------\nAs `counts`.\n";

// The threaded functions' own keywords, after the kernel slots, with their defaults.
constexpr int kDefaultThreads = 1;
constexpr const char kDefaultTies[] = "index";

int to_threading(int threads, PyObject *ties, PyObject *progress, par::Threading *out) {
    if (threads < 0 || threads > par::kMaxThreads) {
        PyErr_Format(PyExc_ValueError, "threads must be between 0 and %d (0 = every usable core), got %d",
                     par::kMaxThreads, threads);
        return -1;
    }
    out->threads = threads == 0 ? par::available_cores() : threads;
    if (!ties || PyUnicode_CompareWithASCIIString(ties, kDefaultTies) == 0) {  // not given: the default
        out->shuffle = false;
    } else if (PyUnicode_CompareWithASCIIString(ties, "random") == 0) {
        out->shuffle = true;
    } else {
        PyErr_Format(PyExc_ValueError, "ties must be 'index' or 'random', not %R", ties);
        return -1;
    }
    if (progress && progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_Format(PyExc_TypeError, "progress must be a callable or None, not %.200s",
                     Py_TYPE(progress)->tp_name);
        return -1;
    }
    out->progress = progress;
    return 0;
}

// The keywords of a function taking the kernel slots 0 .. n-1: the slots' own names (but mu and
// sigma2, which the kernel module calls mu_obj and sigma2_obj), then threads, ties and progress.
template <int n>
constexpr std::array<const char *, n + 4> keywords() {
    std::array<const char *, n + 4> kw{};
    kw[kMuObj] = "mu";
    kw[kSigma2Obj] = "sigma2";
    for (int i = kNSamples; i < n; ++i) kw[i] = kParams[i].name;
    kw[n] = "threads";
    kw[n + 1] = "ties";
    kw[n + 2] = "progress";
    return kw;
}
constexpr auto kCountsKw = keywords<kCountsParams>();
constexpr auto kDetailedKw = keywords<kNumParams>();

// The bound objects become slot values exactly as in the kernel module (arguments.hpp), so both
// accept and refuse the same scalars.
int finish_args(PyObject *const *given, int n, int threads, PyObject *ties, PyObject *progress, ArgValue *values,
                par::Threading *th) {
    if (convert_args(kParams.data(), given, n, values) < 0) return -1;
    return to_threading(threads, ties, progress, th);
}

char **kw_list(const char *const *kw) { return const_cast<char **>(kw); }  // only read

// The three functions: each takes the kernel slots 0 .. n_params - 1, then threads, ties and
// progress. The text signature in front of each docstring and the argument format of each entry
// are made from the keywords above and the parameter table when the module is first loaded
// (make_functions), so the signatures show the defaults the calls use.
enum FunctionIndex { kCountsFn, kSelectFn, kDetailedFn, kFunctions };

struct Function {
    const char *name;
    int n_params;
    const char *doc_body;
    std::string doc;     // text signature, then doc_body
    std::string format;  // of PyArg_ParseTupleAndKeywords: the slots as objects, then "$iUO"
};

Function functions[kFunctions] = {
    {"counts", kCountsParams, kCountsDoc, {}, {}},
    {"select", kCountsParams, kSelectDoc, {}, {}},
    {"select_detailed", kNumParams, kDetailedDoc, {}, {}},
};

const char *const *keywords_of(int n_params) {
    return n_params == kCountsParams ? kCountsKw.data() : kDetailedKw.data();
}

// counts and select take the same arguments.
template <PyObject *(*Kernel)(PyObject *, PyObject *, PyObject *, int32_t, const CountsOptions &,
                              const par::Threading &)>
PyObject *counts_like(PyObject *module, PyObject *args, PyObject *kwargs, const char *format) {
    PyObject *g[kCountsParams] = {}, *ties = nullptr, *progress = nullptr;
    int threads = kDefaultThreads;
    static_assert(kCountsParams == 7, "one pointer per slot below");
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, kw_list(kCountsKw.data()), &g[0], &g[1], &g[2], &g[3],
                                     &g[4], &g[5], &g[6], &threads, &ties, &progress))
        return nullptr;
    ArgValue a[kCountsParams];
    par::Threading th;
    if (finish_args(g, kCountsParams, threads, ties, progress, a, &th) < 0) return nullptr;
    return Kernel(module, a[kMuObj].obj, a[kSigma2Obj].obj, a[kNSamples].i32, counts_options(a), th);
}

PyObject *counts_entry(PyObject *module, PyObject *args, PyObject *kwargs) {
    return counts_like<par::counts>(module, args, kwargs, functions[kCountsFn].format.c_str());
}

PyObject *select_entry(PyObject *module, PyObject *args, PyObject *kwargs) {
    return counts_like<par::select>(module, args, kwargs, functions[kSelectFn].format.c_str());
}

PyObject *detailed_entry(PyObject *module, PyObject *args, PyObject *kwargs) {
    PyObject *g[kNumParams] = {}, *ties = nullptr, *progress = nullptr;
    int threads = kDefaultThreads;
    static_assert(kNumParams == 13, "one pointer per slot below");
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, functions[kDetailedFn].format.c_str(),
                                     kw_list(kDetailedKw.data()), &g[0], &g[1], &g[2], &g[3], &g[4], &g[5], &g[6],
                                     &g[7], &g[8], &g[9], &g[10], &g[11], &g[12], &threads, &ties, &progress))
        return nullptr;
    ArgValue a[kNumParams];
    par::Threading th;
    if (finish_args(g, kNumParams, threads, ties, progress, a, &th) < 0) return nullptr;
    return par::select_detailed(module, a[kMuObj].obj, a[kSigma2Obj].obj, a[kNSamples].i32, detailed_options(a),
                                th);
}

template <class F>
PyCFunction as_method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// In FunctionIndex order; the docstrings are set by make_functions.
PyMethodDef methods[] = {
    {"counts", as_method(counts_entry), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"select", as_method(select_entry), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"select_detailed", as_method(detailed_entry), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Python's repr of a parameter's default, as the text signature shows it; -1 with an exception.
int append_default(std::string &out, const ParamSpec &p) {
    const ArgValue &d = p.default_value;
    switch (p.kind) {
    case ParamKind::Int32: out += std::to_string(d.i32); return 0;
    case ParamKind::UInt64: out += std::to_string(d.u64); return 0;
    case ParamKind::Int64: out += std::to_string(d.i64); return 0;
    case ParamKind::Double: {
        char *text = PyOS_double_to_string(d.f64, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) return -1;
        out += text;
        PyMem_Free(text);
        return 0;
    }
    case ParamKind::Object: break;
    }
    PyErr_Format(PyExc_SystemError, "parameter %s has no default", p.name);
    return -1;
}

// `name($module, mu, sigma2, n_samples, percentile=0.2, ..., *, threads=1, ties='index',
// progress=None)`, the line CPython reads a builtin's `__text_signature__` from.
int append_signature(std::string &out, const Function &fn) {
    const char *const *kw = keywords_of(fn.n_params);
    const int n = fn.n_params;
    out += fn.name;
    out += "($module";
    for (int i = 0; i < n; ++i) {
        out += ", ";
        out += kw[i];
        if (i < kRequiredParams) continue;
        out += '=';
        if (append_default(out, kParams[i]) < 0) return -1;
    }
    out += ", *, " + std::string(kw[n]) + '=' + std::to_string(kDefaultThreads) + ", " + kw[n + 1] + "='" +
           kDefaultTies + "', " + kw[n + 2] + "=None)\n--\n\n";
    return 0;
}

// Once per process, before the first module object is made (its functions keep pointers to the
// docstrings). 0, or -1 with an exception.
int make_functions() {
    static bool made = false;
    if (made) return 0;
    try {
        for (int f = 0; f < kFunctions; ++f) {
            Function &fn = functions[f];
            fn.doc.clear();  // after a failed first load
            if (append_signature(fn.doc, fn) < 0) return -1;
            fn.doc += fn.doc_body;
            fn.format = std::string(kRequiredParams, 'O') + '|' + std::string(fn.n_params - kRequiredParams, 'O') +
                        "$iUO:" + fn.name;
            methods[f].ml_doc = fn.doc.c_str();
        }
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
    made = true;
    return 0;
}

// The kernels' limits and codes, for the Python layer to read rather than restate
// (selection_core/_defaults.py): the thread limit, the mode codes, the fewest samples the streaming
// estimators start from, the largest sample count, and the watch's interval in seconds.
static_assert(kParams[kNSamples].kind == ParamKind::Int32, "the sample limit below is int32's");
struct IntConstant {
    const char *name;
    long value;
};
constexpr IntConstant kIntConstants[] = {
    {"MAX_THREADS", par::kMaxThreads},
    {"MODE_VALUES", kModeValues},
    {"MODE_RANKS", kModeRanks},
    {"WITHIN_CROWDING", kWithinCrowding},
    {"QUANTILES_EXACT", kQuantilesExact},
    {"QUANTILES_STREAMING", kQuantilesStreaming},
    {"QUANTILES_AUTO", kQuantilesAuto},
    {"STREAMING_START", kStreamingStart},
    {"SAMPLES_LIMIT", std::numeric_limits<int32_t>::max()},
};

int add_constants(PyObject *module) {
    for (const IntConstant &c : kIntConstants)
        if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return -1;
    const double interval = std::chrono::duration<double>(par::Watch::kLookInterval).count();
    PyRef seconds = PyRef::steal(PyFloat_FromDouble(interval));
    return seconds ? PyModule_AddObjectRef(module, "WATCH_INTERVAL", seconds.get()) : -1;
}

int parallel_exec(PyObject *module) {
    if (import_numpy_api() < 0) return -1;
    if (import_ndarray_type() < 0) return -1;
    if (import_rating_function() < 0) return -1;
    PyRef np = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    return add_constants(module);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(parallel_exec)},
    {0, nullptr},
};

PyModuleDef parallel_def = {
    PyModuleDef_HEAD_INIT, "_parallel", kModuleDoc, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vq

PyMODINIT_FUNC PyInit__parallel(void) {
    if (vq::make_functions() < 0) return nullptr;
    return PyModuleDef_Init(&vq::parallel_def);
}
