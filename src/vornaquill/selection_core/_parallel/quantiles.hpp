// Exact median and quartiles of the stored observations of a detailed pass, on several threads.
#pragma once
#include "numpy_api.hpp"

#include <cstdint>

#include "detailed.hpp"

namespace vq {
namespace par {

// Fills `q` from the n stored samples of every individual, on n_threads threads (the caller's and
// n_threads - 1 of our own), one block of individuals each. 0, or -1 with an exception.
int exact_quantiles(const Np &np, const AccumulatorArrays &arrays, int32_t N, int32_t n, int32_t n_threads,
                    QuantileArrays *q);

}  // namespace par
}  // namespace vq
