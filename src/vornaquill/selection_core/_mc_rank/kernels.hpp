// Load-time state of the module and the native kernels behind the three public functions.
#pragma once
#include "numpy_api.hpp"

#include <cstdint>

#include "py_ref.hpp"
#include "rating_abi.hpp"

namespace vq {

// Written once by the module's exec step, read-only afterwards.
extern RatePopulationFn g_rate_population;
extern PyTypeObject *g_ndarray_type;
extern double g_default_quality_sign;

struct CountsOptions {
    double percentile = 0.2;
    uint64_t seed = 0;
    int32_t mode_i = 1;
    int32_t within_mode_i = 0;
};

struct DetailedOptions : CountsOptions {
    int32_t quantiles_mode_i = 2;
    int64_t quantiles_budget = 2500000;
    double quality_w_place = 1.0;
    double quality_w_front = 1.0;
    double quality_w_within = 1.0;
    double quality_sign = -1.0;
};

// Each returns a new result tuple, or NULL with a Python exception set.
PyObject *mc_rank_counts(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                         const CountsOptions &opt = CountsOptions());
PyObject *mc_rank_select(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                         const CountsOptions &opt = CountsOptions());
PyObject *mc_rank_select_detailed(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj,
                                  int32_t n_samples, const DetailedOptions &opt = DetailedOptions());

}  // namespace vq
