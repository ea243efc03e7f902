// What the detailed selection's sampling pass leaves for its results stage, and that stage: the
// accumulator arrays, the state handed over, the result tuple (also of the threaded pass).
#pragma once
#include "numpy_api.hpp"

#include <cstdint>

#include "accumulators.hpp"
#include "kernels.hpp"
#include "numpy_calls.hpp"
#include "sampling.hpp"

namespace vq {

// Every array of the accumulators, in creation order, with the raw view the loops use.
class AccumulatorArrays {
public:
    int create(const Np &np, int32_t N, const AccumulatorConfig &cfg);

    Accumulators acc;
    PyRef mean[kMetrics], M2[kMetrics], buf[kMetrics];
    PyRef estimators[kEstimatorArrays];
};

// The set-up of a detailed pass, single- or multi-threaded: NumPy bound, inputs checked, then (for
// a non-empty population) the sampling work arrays and the accumulator arrays created.
struct DetailedSetup {
    Np np;
    Inputs in;
    SamplingSetup setup;
    AccumulatorConfig cfg{};
    AccumulatorArrays arrays;

    // -1 on error; an empty population (in.N == 0) stops after the inputs.
    int create(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
               const DetailedOptions &opt);
};

// The results stage: everything the sampling pass leaves behind, the interpreter lock held.
struct PassState {
    int32_t N, k, n_samples;
    const Counters &counts;
    const AccumulatorArrays &arrays;
};

// The result tuple of an empty population.
PyObject *empty_result(const Np &np);

// Median and quartiles of every metric, float64 arrays of shape (N,).
struct QuantileArrays {
    PyRef median[kMetrics], q25[kMetrics], q75[kMetrics];
};

// The nine-slot result tuple from the counters and accumulators of a finished pass. `given`: the
// exact median and quartiles already computed from the stored observations (the threaded pass);
// without it they come from NumPy or the streaming estimators.
PyObject *detailed_results(const Np &np, const PassState &st, const DetailedOptions &opt,
                           const QuantileArrays *given = nullptr);

}  // namespace vq
