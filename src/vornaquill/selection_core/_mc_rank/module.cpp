// Module vornaquill.selection_core._mc_rank: the load sequence, the module docstring and the
// three public functions (docstrings, function specs, entries into the kernels). The kernels and
// their parameter table are in ../_kernels, shared with the threaded extension.
#define VQ_IMPORT_NUMPY_API
#include "numpy_api.hpp"

#include <cstring>

#include "accumulators.hpp"
#include "binding.hpp"
#include "kernels.hpp"
#include "py_ref.hpp"
#include "rating_abi.hpp"

namespace vq {

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

PyObject *counts_entry(PyObject *module, const ArgValue *a) {
    return mc_rank_counts(module, a[kMuObj].obj, a[kSigma2Obj].obj, a[kNSamples].i32, counts_options(a));
}

PyObject *select_entry(PyObject *module, const ArgValue *a) {
    return mc_rank_select(module, a[kMuObj].obj, a[kSigma2Obj].obj, a[kNSamples].i32, counts_options(a));
}

PyObject *detailed_entry(PyObject *module, const ArgValue *a) {
    return mc_rank_select_detailed(module, a[kMuObj].obj, a[kSigma2Obj].obj, a[kNSamples].i32,
                                   detailed_options(a));
}

// clang-format off
const FunctionSpec kCountsSpec = {"mc_rank_counts", kCountsDoc, kParams.data(), kCountsParams, kRequiredParams,
                                  counts_entry};
const FunctionSpec kSelectSpec = {"mc_rank_select", kSelectDoc, kParams.data(), kCountsParams, kRequiredParams,
                                  select_entry};
const FunctionSpec kDetailedSpec = {"mc_rank_select_detailed", kDetailedDoc, kParams.data(), kNumParams,
                                    kRequiredParams, detailed_entry};
// clang-format on

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
