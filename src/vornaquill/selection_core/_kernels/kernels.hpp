// Load-time state of an extension that runs the kernels, and the three native kernels (shared by
// the kernel module and the threaded extension).
#pragma once
#include "numpy_api.hpp"

#include <cstdint>

#include "py_ref.hpp"
#include "rating_abi.hpp"

namespace vq {

// Written once by the module's exec step, read-only afterwards.
extern RatePopulationFn g_rate_population;
extern PyTypeObject *g_ndarray_type;

// Codes of `mode_i` and `within_mode_i`, passed through to the rating component unchecked.
enum ModeCode : int32_t {
    kModeValues = 0,  // crowding measured on the sampled objective values
    kModeRanks = 1,   // ... on their average ranks per objective
};
enum WithinModeCode : int32_t { kWithinCrowding = 0 };  // the only within-front measure

// The optional values of the kernels. Every field is always set: the defaults are written once,
// below, from which the parameter table (arguments.hpp) and so the Python functions take them.
struct CountsOptions {
    double percentile;
    uint64_t seed;
    int32_t mode_i;
    int32_t within_mode_i;
};

struct DetailedOptions : CountsOptions {
    int32_t quantiles_mode_i;  // see configure_accumulators (accumulators.hpp)
    int64_t quantiles_budget;
    double quality_w_place;
    double quality_w_front;
    double quality_w_within;
    double quality_sign;
};

// Every optional value's default: the one place each is written (the kernel module's parameter
// table and the threaded entries take them from here).
inline constexpr DetailedOptions kDefaultOptions = {
    {0.2, 0, kModeRanks, kWithinCrowding}, 2 /* kQuantilesAuto */, 2500000, 1.0, 1.0, 1.0, -1.0};

// The rating component's entry and NumPy's array type, for the module's exec step.
int import_ndarray_type();
int import_rating_function();

// Each returns a new result tuple, or NULL with a Python exception set.
PyObject *mc_rank_counts(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                         const CountsOptions &opt);
PyObject *mc_rank_select(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                         const CountsOptions &opt);
PyObject *mc_rank_select_detailed(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                                  const DetailedOptions &opt);

}  // namespace vq
