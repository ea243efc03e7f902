// Set-up shared by the two sampling kernels (counting and detailed): checked inputs, the
// selection size k, the standard deviations, the rating buffers, the scratch records and the
// rating call. Both kernels run these steps in the same order with the same messages.
#pragma once
#include "numpy_api.hpp"

#include <cstdint>
#include <cstdlib>

#include "gil.hpp"
#include "kernels.hpp"
#include "numpy_calls.hpp"
#include "py_ref.hpp"
#include "rating_abi.hpp"
#include "population_sampler.hpp"
#include "rating_error.hpp"

namespace vq {

struct Inputs {
    PyRef mu, sigma2;  // 2-D, float64, C-contiguous (possibly the caller's own, read-only, arrays)
    int32_t N = 0, M = 0;
    const double *mu_data() const { return data_of<const double>(mu); }
    const double *sigma2_data() const { return data_of<const double>(sigma2); }
    size_t size() const { return static_cast<size_t>(N) * static_cast<size_t>(M); }
};

// Coerce `mu_obj` then `sigma2_obj`, check that the shapes agree, read N and M.
int load_inputs(const Np &np, PyObject *mu_obj, PyObject *sigma2_obj, Inputs *in);

// Reject n_samples <= 0 and a percentile outside (0, 1], then k = ceil(percentile * N) in [1, N].
int check_counts_args(const Np &np, int32_t n_samples, double percentile, int32_t N, int32_t *k);

// ceil(percentile * N) as a 32-bit int, at least 1 and at most N. The double product is rounded
// before the ceiling (0.07 * 100 gives 8). A NaN percentile raises ValueError here.
int selection_size(const Np &np, double percentile, int32_t N, int32_t *k);

// New (N, M) array of standard deviations, filled with the interpreter lock released.
PyRef make_sigma(const Np &np, const Inputs &in);

// Work arrays of the rating component, created once per call and handed to every rating call.
class RatingBuffers {
public:
    // The arrays of kRatingBuffers (X, R, front_id, within, order, items, offsets, dom, n_dom, cur,
    // nxt), in this order.
    int create(const Np &np, int32_t N, int32_t M);
    double *X() const { return data_of<double>(arrays_[kBufX]); }
    const int64_t *order() const { return data_of<const int64_t>(arrays_[kBufOrder]); }
    const int64_t *front_id() const { return data_of<const int64_t>(arrays_[kBufFrontId]); }
    // One call of the rating component; callable without the interpreter lock.
    int rate(int32_t mode_i, int32_t within_mode_i, Pair *pairs, OrderKey *keys) const;

private:
    PyRef arrays_[kNumRatingArrays];
    MemviewSlice slices_[kNumRatingArrays];
};

// The two scratch record blocks from the C heap, max(N, 1) records each. Both are requested
// before either is tested; they are freed exactly once, by free_now() or on destruction.
class ScratchRecords {
public:
    explicit ScratchRecords(int32_t N);
    ~ScratchRecords() { free_now(); }
    ScratchRecords(const ScratchRecords &) = delete;
    ScratchRecords &operator=(const ScratchRecords &) = delete;
    bool ok() const { return pairs && keys; }
    void free_now() {
        std::free(pairs);
        std::free(keys);
        pairs = nullptr;
        keys = nullptr;
    }
    Pair *pairs;
    OrderKey *keys;
};

// The counters of both kernels, zeroed: wins and losses (int32) and position sums (int64).
struct Counters {
    PyRef win, lose, rank;
    int create(const Np &np, int32_t N);
    int32_t *wins() const { return data_of<int32_t>(win); }
    int32_t *losses() const { return data_of<int32_t>(lose); }
    int64_t *rank_sums() const { return data_of<int64_t>(rank); }
};

// One sample's places into the counters: a win for each of the first k places of the global
// order, a loss for each of the last k, and every place added to its individual's sum.
// individual(r) is the individual the rating saw as row r.
template <class Individual>
inline void count_places(const int64_t *order, int32_t N, int32_t k, Individual individual, int32_t *win,
                         int32_t *lose, int64_t *rank) {
    for (int32_t pos = 0; pos < k; ++pos) win[individual(order[pos])] += 1;
    for (int32_t pos = N - k; pos < N; ++pos) lose[individual(order[pos])] += 1;
    for (int32_t pos = 0; pos < N; ++pos) rank[individual(order[pos])] += pos;
}

// What both kernels create after the empty-population exit and before their own arrays, in this
// order: the argument checks and k, sigma, the rating buffers, the counters.
struct SamplingSetup {
    int32_t k = 0;
    PyRef sigma;
    RatingBuffers buf;
    Counters counts;
    int create(const Np &np, const Inputs &in, int32_t n_samples, double percentile);
};

// The sampling loop of both kernels, run without the interpreter lock: seed the generator, then
// for every sample draw X from mu and sigma, rate it, and call visit(s, n_fronts) with the rating
// buffers filled in. Stops at the first negative rating result and returns it, else 0. The
// generator state (including a pending spare deviate) carries over from sample to sample.
template <class Visit>
int sample_and_rate(const Inputs &in, const SamplingSetup &setup, const ScratchRecords &scratch,
                    const CountsOptions &opt, int32_t n_samples, Visit &&visit) {
    const RatingBuffers &buf = setup.buf;
    Xoshiro256ss rng;
    _xoshiro_seed(rng, opt.seed);
    const double *mu = in.mu_data();
    const double *sd = data_of<const double>(setup.sigma);
    double *X = buf.X();
    const size_t n_elems = in.size();
    GilRelease nogil;
    for (int32_t s = 0; s < n_samples; ++s) {
        _sample_population(rng, mu, sd, X, n_elems);
        const int code = buf.rate(opt.mode_i, opt.within_mode_i, scratch.pairs, scratch.keys);
        if (code < 0) return code;
        visit(s, code);
    }
    return 0;
}

}  // namespace vq
