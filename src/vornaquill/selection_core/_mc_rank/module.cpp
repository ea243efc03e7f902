// Module vornaquill.selection_core._mc_rank: the load sequence, the module docstring and the
// three public functions (parameter tables, docstrings, entries into the kernels).
#define VQ_IMPORT_NUMPY_API
#include "numpy_api.hpp"

#include <cstring>

#include "binding.hpp"
#include "kernels.hpp"
#include "py_ref.hpp"
#include "rating_abi.hpp"

namespace vq {

RatePopulationFn g_rate_population = nullptr;
PyTypeObject *g_ndarray_type = nullptr;
double g_default_quality_sign = 0.0;

namespace {

constexpr const char kModuleName[] = "vornaquill.selection_core._mc_rank";

constexpr const char kModuleDoc[] =
    "Monte-Carlo Pareto ranking core (native C++ kernel).\n\nGoal\n----\nGiven per-point objective "
    "distributions (Normal with mean `mu` and variance\n`sigma2`), repeatedly sample populations, "
    "compute Pareto ranking via\n`pareto_core` (front id + within-front crowding), and accumulate "
    "statistics.\n\nThis module is designed as a hot-path kernel for async PBT selection.\n\nKey "
    "properties\n--------------\n- Deterministic given the same seed.\n- No allocations inside the "
    "sampling loop.\n- Calls Pareto ranking on C-level via `rate_population_inplace`.\n\nPublic "
    "API\n----------\nmc_rank_counts(mu, sigma2, n_samples, percentile=0.2, seed=0,\n              "
    "mode_i=1, within_mode_i=0)\n    -> (win_count, lose_count, rank_sum)\n\nmc_rank_select(...)\n    "
    "-> (winners, losers, win_count, lose_count, rank_sum)\n\nmc_rank_select_detailed(...)\n    -> "
    "(winners, losers, win_count, lose_count, rank_sum,\n        place_stats, front_stats, "
    "within_stats)\n\n    Each *_stats is a dict with keys:\n        mean, median, std, q25, q75\n\n    "
    "The detailed path uses constant-memory streaming quantile estimators\n    (P² algorithm) to "
    "avoid storing all (n_samples x N) values.\n";

constexpr const char kCountsDoc[] =
    "Accumulate MC win/lose counts and rank sums.\n\n    Parameters\n    ----------\n    mu_obj:\n        "
    "(N,M) float64 means.\n    sigma2_obj:\n        (N,M) float64 variances (>=0 recommended).\n    "
    "n_samples:\n        Monte-Carlo samples.\n    percentile:\n        Fraction for top/bottom "
    "selection per sample; default 0.2.\n    seed:\n        Seed for deterministic RNG.\n    mode_i:\n  "
    "      0=values, 1=ranks (recommended for robustness).\n    within_mode_i:\n        0=crowding.\n\n "
    "   Returns\n    -------\n    (win_count, lose_count, rank_sum)\n        win_count/lose_count: int32 "
    "arrays of shape (N,)\n        rank_sum: int64 array of shape (N,) (sum of positions in global "
    "order)\n    ";

constexpr const char kSelectDoc[] =
    "Compute winners/losers according to MC top/bottom percentiles.\n\n    Returns\n    -------\n    "
    "(winners, losers, win_count, lose_count, rank_sum)\n        winners/losers are int64 arrays of "
    "shape (k,).\n    ";

constexpr const char kDetailedDoc[] =
    "Monte-Carlo winner/loser selection + per-individual distribution stats.\n\n    Returns\n    "
    "-------\n    winners_i, losers_i, win_count, lose_count, rank_sum, place_stats, front_stats, "
    "within_stats, quality_score\n\n    Each *_stats is a dict with keys: mean, median, std, q25, "
    "q75.\n\n    Notes\n    -----\n    This kernel keeps **constant memory** per individual for quantile "
    "estimates\n    using the P² (Jain-Chlamtac) streaming estimator. Mean/std are exact.\n    ";

constexpr double kQualitySignDefault = -1.0;

ArgValue i32(int32_t v) { ArgValue a; a.i32 = v; return a; }
ArgValue u64(uint64_t v) { ArgValue a; a.u64 = v; return a; }
ArgValue i64(int64_t v) { ArgValue a; a.i64 = v; return a; }
ArgValue f64(double v) { ArgValue a; a.f64 = v; return a; }
ArgValue none() { ArgValue a; a.obj = nullptr; return a; }

// The detailed table is written by the exec step (the quality_sign default is stored at load).
ParamSpec detailed_params[] = {
    {"mu_obj", ParamKind::Object, none()},
    {"sigma2_obj", ParamKind::Object, none()},
    {"n_samples", ParamKind::Int32, none()},
    {"percentile", ParamKind::Double, f64(0.2)},
    {"seed", ParamKind::UInt64, u64(0)},
    {"mode_i", ParamKind::Int32, i32(1)},
    {"within_mode_i", ParamKind::Int32, i32(0)},
    {"quantiles_mode_i", ParamKind::Int32, i32(2)},
    {"quantiles_budget", ParamKind::Int64, i64(2500000)},
    {"quality_w_place", ParamKind::Double, f64(1.0)},
    {"quality_w_front", ParamKind::Double, f64(1.0)},
    {"quality_w_within", ParamKind::Double, f64(1.0)},
    {"quality_sign", ParamKind::Double, f64(0.0)},
};

CountsOptions counts_options(const ArgValue *a) {
    CountsOptions o;
    o.percentile = a[3].f64;
    o.seed = a[4].u64;
    o.mode_i = a[5].i32;
    o.within_mode_i = a[6].i32;
    return o;
}

PyObject *counts_entry(PyObject *module, const ArgValue *a) {
    return mc_rank_counts(module, a[0].obj, a[1].obj, a[2].i32, counts_options(a));
}

PyObject *select_entry(PyObject *module, const ArgValue *a) {
    return mc_rank_select(module, a[0].obj, a[1].obj, a[2].i32, counts_options(a));
}

PyObject *detailed_entry(PyObject *module, const ArgValue *a) {
    DetailedOptions o;
    static_cast<CountsOptions &>(o) = counts_options(a);
    o.quantiles_mode_i = a[7].i32;
    o.quantiles_budget = a[8].i64;
    o.quality_w_place = a[9].f64;
    o.quality_w_front = a[10].f64;
    o.quality_w_within = a[11].f64;
    o.quality_sign = a[12].f64;
    return mc_rank_select_detailed(module, a[0].obj, a[1].obj, a[2].i32, o);
}

// mc_rank_counts and mc_rank_select share their seven parameters with the detailed table.
const FunctionSpec kCountsSpec = {"mc_rank_counts", kCountsDoc, detailed_params, 7, 3, counts_entry};
const FunctionSpec kSelectSpec = {"mc_rank_select", kSelectDoc, detailed_params, 7, 3, select_entry};
const FunctionSpec kDetailedSpec = {"mc_rank_select_detailed", kDetailedDoc, detailed_params, 13, 3,
                                    detailed_entry};

// NumPy's C API table, with its version checks; any failure reads as the classic import error.
int import_numpy_api() {
    if (_import_array() >= 0) return 0;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef cause = PyRef::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (cause)
        PyErr_Format(PyExc_ImportError, "numpy.core.multiarray failed to import (%S)", cause.get());
    else
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return -1;
}

int import_ndarray_type() {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    PyRef t = PyRef::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
    if (!t) return -1;
    if (!PyType_Check(t.get())) {
        PyErr_SetString(PyExc_TypeError, "numpy.ndarray is not a type");
        return -1;
    }
    // Kept for the life of the process. A reload of the module finds the same object; the
    // reference taken by the earlier load is dropped so repeated loads do not accumulate.
    PyTypeObject *previous = g_ndarray_type;
    g_ndarray_type = reinterpret_cast<PyTypeObject *>(t.release());
    Py_XDECREF(previous);
    return 0;
}

// Take rate_population_inplace from the sibling's __pyx_capi__ table, checking the capsule name.
int import_rating_function() {
    PyRef sibling = PyRef::steal(PyImport_ImportModule(kRatingModuleName));
    if (!sibling) return -1;
    PyRef capi = PyRef::steal(PyObject_GetAttrString(sibling.get(), "__pyx_capi__"));
    if (!capi) return -1;
    const char *sibling_name = PyModule_Check(sibling.get()) ? PyModule_GetName(sibling.get()) : nullptr;
    if (!sibling_name) {
        PyErr_Clear();
        sibling_name = kRatingModuleName;
    }
    PyObject *capsule = PyDict_Check(capi.get()) ? PyDict_GetItemString(capi.get(), kRateFunctionName)
                                                 : nullptr;  // borrowed
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", sibling_name,
                     "function", kRateFunctionName);
        return -1;
    }
    const char *got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : Py_TYPE(capsule)->tp_name;
    if (!got || std::strcmp(got, kRateSignature) != 0) {
        PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", sibling_name, kRateFunctionName, kRateSignature, got ? got : "(null)");
        return -1;
    }
    void *p = PyCapsule_GetPointer(capsule, kRateSignature);
    if (!p) return -1;
    g_rate_population = reinterpret_cast<RatePopulationFn>(p);
    return 0;
}

int add_function(PyObject *module, PyObject *module_name, const FunctionSpec &spec) {
    PyRef f = PyRef::steal(function_new(&spec, module, module_name));
    if (!f) return -1;
    return PyModule_AddObjectRef(module, spec.name, f.get());
}

int mc_rank_exec(PyObject *module) {
    if (import_numpy_api() < 0) return -1;
    if (import_ndarray_type() < 0) return -1;
    if (import_rating_function() < 0) return -1;
    PyRef np = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    if (function_type_ready() < 0) return -1;
    PyRef module_name = PyRef::steal(PyUnicode_FromString(kModuleName));
    if (!module_name) return -1;
    if (add_function(module, module_name.get(), kCountsSpec) < 0) return -1;
    if (add_function(module, module_name.get(), kSelectSpec) < 0) return -1;
    g_default_quality_sign = kQualitySignDefault;
    detailed_params[12].default_value.f64 = g_default_quality_sign;
    return add_function(module, module_name.get(), kDetailedSpec);
}

PyModuleDef_Slot mc_rank_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(mc_rank_exec)},
    {0, nullptr},
};

PyMethodDef mc_rank_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef mc_rank_def = {
    PyModuleDef_HEAD_INIT, "_mc_rank", kModuleDoc, 0, mc_rank_methods, mc_rank_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vq

PyMODINIT_FUNC PyInit__mc_rank(void) { return PyModuleDef_Init(&vq::mc_rank_def); }
