// The counting kernel's loop for bench/compare_kernels.py: draw a population, rate it and add each
// individual's place to its sum, sample after sample, as mc_rank_counts does without the Python
// around it. Built once per revision into its own shared library (hidden symbols, one entry).
#include <chrono>
#include <cstdint>
#include <vector>

#include "population_sampler.hpp"
#include "rating_call.hpp"

// Seconds per sample of `samples` samples from seed 1; *check gets a hash of the place sums, equal
// between revisions that rate alike.
extern "C" __attribute__((visibility("default"))) double vq_kernel_loop(int64_t N, int64_t M, const double *mu,
                                                                        const double *sigma, int32_t samples,
                                                                        uint64_t *check) {
    RatingCall rate(N, M);
    std::vector<double> X(static_cast<size_t>(N * M));
    const int64_t *order = reinterpret_cast<const int64_t *>(rate.storage[vq::kBufOrder].data());
    std::vector<int64_t> place_sum(N, 0);
    vq::Xoshiro256ss rng;
    vq::_xoshiro_seed(rng, 1);
    const auto t0 = std::chrono::steady_clock::now();
    for (int32_t i = 0; i < samples; ++i) {
        vq::_sample_population(rng, mu, sigma, X.data(), X.size());
        rate(X.data());
        for (int64_t pos = 0; pos < N; ++pos) place_sum[order[pos]] += pos;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    uint64_t h = 1469598103934665603ull;  // FNV-1a over the sums
    for (int64_t v : place_sum) h = (h ^ static_cast<uint64_t>(v)) * 1099511628211ull;
    *check = h;
    return seconds / samples;
}
