// Per-individual statistics of the detailed selection: exact running moments (Welford) of three
// observations per individual and sample (place, front, within), plus either every observation
// (exact quantiles later) or, past a memory budget, nine P² estimators per individual that start
// from the first five observations (streaming quantiles, memory independent of the sample count).
//
// Pure C++ on storage owned by the caller (NumPy arrays created by the detailed kernel): no
// Python, no allocation, cannot fail. Updates run with the interpreter lock released.
#pragma once
#include <cstddef>
#include <cstdint>

#include "p2.hpp"

namespace vq {

// The three observed quantities, in the order every per-metric step visits them.
enum Metric { kPlace = 0, kFront = 1, kWithin = 2, kMetrics = 3 };

// Probabilities of the three estimators per metric, in record order.
inline constexpr double kP2Probs[3] = {0.25, 0.5, 0.75};

struct AccumulatorConfig {
    int32_t use_p2;  // 1: streaming estimators, 0: every observation is stored
    int32_t S_init;  // number of leading samples whose observations are stored
};

// Codes of `quantiles_mode_i`.
enum QuantilesMode : int32_t {
    kQuantilesExact = 0,      // store every observation
    kQuantilesStreaming = 1,  // estimators whenever they can start
    kQuantilesAuto = 2,       // the default: estimators past the budget; so does any other code
};

// The estimators start from an individual's first kP2Markers observations (sorted, they are the
// markers' first heights), so streaming stores that many samples and needs at least that many.
inline constexpr int32_t kStreamingStart = kP2Markers;

// Exact mode always stores everything; streaming mode streams whenever there are kStreamingStart
// samples to start the estimators from; any other mode streams when n_samples * N exceeds the
// budget (or the budget is not positive), with the same minimum.
inline AccumulatorConfig configure_accumulators(int32_t n_samples, int32_t N, int32_t quantiles_mode_i,
                                                int64_t budget) {
    const AccumulatorConfig exact{0, n_samples}, streaming{1, kStreamingStart};
    if (quantiles_mode_i == kQuantilesExact) return exact;
    if (n_samples < kStreamingStart) return exact;
    if (quantiles_mode_i == kQuantilesStreaming) return streaming;
    if (budget <= 0) return streaming;
    if (budget >= static_cast<int64_t>(n_samples) * static_cast<int64_t>(N)) return exact;
    return streaming;
}

// One Welford step with count n (the observations seen including x). Separately rounded
// operations only: the build turns off floating-point contraction.
inline void _welford_update(double &mean, double &M2, double x, double n) {
    const double delta = x - mean;
    mean = mean + delta / n;
    M2 = M2 + delta * (x - mean);
}

// The 27 estimator arrays, each of shape (N, kP2Markers), are created in this order: per metric
// (place, front, within) the three height arrays, the three position arrays (int32), the three
// desired-position arrays, each triple for p = 0.25, 0.5, 0.75.
inline constexpr int kEstimatorArrays = 27;
enum EstimatorRole { kHeights = 0, kPositions = 1, kDesired = 2 };
struct EstimatorSlot {
    int metric, role, prob;
};
inline constexpr EstimatorSlot estimator_slot(int j) { return {j / 9, (j % 9) / 3, j % 3}; }

// Raw storage of the accumulators of one call. Moments and buffers are always bound; the
// estimator arrays only in streaming mode.
struct Accumulators {
    int32_t N = 0;
    AccumulatorConfig cfg{0, 0};
    double *mean[kMetrics] = {};
    double *M2[kMetrics] = {};
    double *buf[kMetrics] = {};  // (S_init, N): row = sample, column = individual
    double *q[kMetrics][3] = {};
    I32T *npos[kMetrics][3] = {};
    double *ndes[kMetrics][3] = {};

    void bind_estimator(int j, void *data) {
        const EstimatorSlot e = estimator_slot(j);
        if (e.role == kHeights) q[e.metric][e.prob] = static_cast<double *>(data);
        else if (e.role == kPositions) npos[e.metric][e.prob] = static_cast<I32T *>(data);
        else ndes[e.metric][e.prob] = static_cast<double *>(data);
    }

    // Absorb the observations of individual idx in sample s; n_d = s + 1 as a double.
    void update(int32_t idx, int32_t s, double n_d, const double (&x)[kMetrics]) {
        for (int m = 0; m < kMetrics; ++m) _welford_update(mean[m][idx], M2[m][idx], x[m], n_d);
        if (s < cfg.S_init) {
            const size_t cell = static_cast<size_t>(s) * static_cast<size_t>(N) + static_cast<size_t>(idx);
            for (int m = 0; m < kMetrics; ++m) buf[m][cell] = x[m];
        } else if (cfg.use_p2) {
            const size_t row = kP2Markers * static_cast<size_t>(idx);
            for (int m = 0; m < kMetrics; ++m)
                for (int j = 0; j < 3; ++j)
                    _p2_update(q[m][j] + row, npos[m][j] + row, ndes[m][j] + row, kP2Probs[j], x[m]);
        }
    }

    // Start individual i's estimators from its first kStreamingStart observations (buffer rows
    // 0-4), once its observation of sample kStreamingStart - 1 is in.
    void init_estimator(size_t i) {
        static_assert(kStreamingStart == 5, "_p2_init takes five sorted observations");
        const size_t n = static_cast<size_t>(N), row = kP2Markers * i;
        for (int m = 0; m < kMetrics; ++m) {
            double tmp[kStreamingStart];
            for (int r = 0; r < kStreamingStart; ++r) tmp[r] = buf[m][static_cast<size_t>(r) * n + i];
            _sort5(tmp);
            for (int j = 0; j < 3; ++j)
                _p2_init(q[m][j] + row, npos[m][j] + row, ndes[m][j] + row, kP2Probs[j], tmp[0], tmp[1], tmp[2],
                         tmp[3], tmp[4]);
        }
    }

    // Every individual's, once sample kStreamingStart - 1 is complete.
    void init_estimators() {
        for (size_t i = 0; i < static_cast<size_t>(N); ++i) init_estimator(i);
    }
};

}  // namespace vq
