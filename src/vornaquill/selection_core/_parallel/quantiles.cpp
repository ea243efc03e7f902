#include "quantiles.hpp"

#include <algorithm>
#include <memory>
#include <new>

#include "gil.hpp"
#include "threads.hpp"

namespace vq {
namespace par {
namespace {

// Exact median and quartiles of the stored observations, computed here instead of by NumPy's
// median and quantile (which run on one thread and dominate the results stage). The observations
// are integers (places, front indices, ranks in a front, stored as doubles): never NaN, and
// every value NumPy derives from them - the middle value or the mean of the two middle values, and
// the default linear interpolation a + (b - a) * g (b - (b - a) * (1 - g) for g >= 0.5) with
// g = frac(q * (n - 1)) in {0, .25, .5, .75} - is exact in double, so these are NumPy's results
// bit for bit.
struct ExactQuantiles {
    const double *buf[kMetrics];  // (n, N): row = sample, column = individual
    double *out[kMetrics][3];  // q25, median, q75
    int32_t N = 0, n = 0;

    // The order statistics j and j + 1 (j itself for the last) of v[lo .. hi), which hold the
    // order statistics lo .. hi-1 of the column; after it v[lo .. j) <= v[j] <= v[j+1 .. hi).
    static void order_pair(double *v, int32_t lo, int32_t j, int32_t hi, double *a, double *b) {
        std::nth_element(v + lo, v + j, v + hi);
        *a = v[j];
        *b = j + 1 < hi ? *std::min_element(v + j + 1, v + hi) : *a;
    }

    static double lerp(double a, double b, double g) { return g >= 0.5 ? b - (b - a) * (1 - g) : a + (b - a) * g; }

    // Individuals lo .. hi-1; v: n doubles of scratch. The median splits the column, so each
    // quartile is searched in its half only.
    void block(double *v, int32_t lo, int32_t hi) const {
        const int64_t last = n - 1;
        const auto j25 = static_cast<int32_t>(last / 4), j75 = static_cast<int32_t>(3 * last / 4);
        const double g25 = 0.25 * static_cast<double>(last % 4), g75 = 0.25 * static_cast<double>(3 * last % 4);
        const auto j50 = static_cast<int32_t>(last / 2);
        double a, b, a50, b50;
        for (int32_t i = lo; i < hi; ++i)
            for (int m = 0; m < kMetrics; ++m) {
                for (int32_t s = 0; s < n; ++s) v[s] = buf[m][static_cast<size_t>(s) * N + i];
                order_pair(v, 0, j50, n, &a50, &b50);
                out[m][1][i] = n % 2 ? a50 : (a50 + b50) / 2;
                if (j25 < j50) {
                    order_pair(v, 0, j25, j50 + 1, &a, &b);
                } else {
                    a = a50;
                    b = b50;
                }
                out[m][0][i] = lerp(a, b, g25);
                order_pair(v, j50, j75, n, &a, &b);
                out[m][2][i] = lerp(a, b, g75);
            }
    }
};

}  // namespace

int exact_quantiles(const Np &np, const AccumulatorArrays &arrays, int32_t N, int32_t n, int32_t n_threads,
                    QuantileArrays *q) {
    ExactQuantiles job;
    job.N = N;
    job.n = n;
    for (int m = 0; m < kMetrics; ++m) {
        job.buf[m] = arrays.acc.buf[m];
        PyRef *targets[3] = {&q->q25[m], &q->median[m], &q->q75[m]};
        for (int j = 0; j < 3; ++j) {
            if (!(*targets[j] = np.new_array("empty", N, F64))) return -1;
            job.out[m][j] = data_of<double>(*targets[j]);
        }
    }
    std::unique_ptr<double[]> scratch(new (std::nothrow) double[static_cast<size_t>(n) * n_threads]);
    if (!scratch) {
        PyErr_NoMemory();
        return -1;
    }
    auto run_block = [&](int32_t t) {
        job.block(scratch.get() + static_cast<size_t>(n) * t, static_cast<int32_t>(int64_t{N} * t / n_threads),
                  static_cast<int32_t>(int64_t{N} * (t + 1) / n_threads));
    };
    bool started;
    {
        GilRelease nogil;
        ThreadGroup threads;
        started = threads.start(n_threads, run_block);
        if (started) run_block(0);
    }  // the started blocks run to their end: nothing to stop
    return started ? 0 : raise_thread_start_failed();
}

}  // namespace par
}  // namespace vq
