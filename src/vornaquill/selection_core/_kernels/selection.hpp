// Winner and loser lists from the Monte-Carlo counters (shared by the plain and detailed selection).
#pragma once
#include "numpy_api.hpp"

#include <cstdint>

#include "numpy_calls.hpp"

namespace vq {

// winners: first min(k, N) of lexsort((idx, rank_sum, -win_count));
// losers:  first min(k, N) of lexsort((idx, -rank_sum, -lose_count)); both int64.
int select_winners_losers(const Np &np, PyObject *win_count, PyObject *lose_count, PyObject *rank_sum, npy_intp N,
                          int32_t k, PyRef *winners, PyRef *losers);

// The plain selection's result tuple (winners, losers, then the three counters) from the tuple of
// the counting kernel, which stays the caller's.
PyObject *select_from_counts(PyObject *module, PyObject *counts, double percentile);

}  // namespace vq
