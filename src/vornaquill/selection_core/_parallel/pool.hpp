// The sampling loop on several threads: the calling thread (lane 0) and lanes - 1 threads of our
// own (threads.hpp).
//
// Samples are handed out in order by one cursor (stream.hpp); each lane draws, rates and reads
// out its samples with its own buffers. Counting: each lane adds to its own counters (integer
// sums, any order). Detailed: a lane writes each sample's observations (place, front, rank in the
// front, per individual) to a ring of slots, and every lane applies the samples to the counters
// and statistics of its own block of individuals strictly in sample order, as the moments and the
// streaming estimators require. A slot is reused once every lane has applied it, so memory does
// not grow with the number of samples.
//
// Between chunks (a run of counting samples, one detailed sample) lane 0 looks at signals and
// progress when it is due (watch.hpp); a stop flag ends every lane at its next chunk.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "accumulators.hpp"
#include "sampling.hpp"
#include "watch.hpp"

namespace vq {
namespace par {

// Results of run_pool besides 0 and the rating component's (negative) codes.
inline constexpr int kThreadStartFailed = -0x7fffffff;
inline constexpr int kStopped = -0x7ffffffe;  // the watch raised (signal handler, progress callback)

// One lane's storage, created with the interpreter lock held before the sampling starts. Only the
// rating's work arrays are NumPy arrays (the rating takes slices of them); the rest is C++ storage.
struct Lane {
    const RatingBuffers *buf = nullptr;  // rating work arrays (lane 0 uses the call's own)
    RatingBuffers own;
    std::unique_ptr<ScratchRecords> scratch;
    std::vector<int32_t> front_counts;  // detailed: members of each front met so far in the sample's order
    std::vector<int64_t> perm;          // ties shuffle: perm[r] is the individual presented as row r
    std::vector<double> drawn;          // ties shuffle: the sample in storage order, before the shuffle
    std::vector<int32_t> own_win, own_lose;  // counting, lanes >= 1 (lane 0 counts into the results)
    std::vector<int64_t> own_rank;
    int32_t *win = nullptr, *lose = nullptr;
    int64_t *rank = nullptr;
    int32_t lo = 0, hi = 0;  // detailed: the individuals this lane applies

    // The individual the rating saw as row r.
    int32_t individual(int64_t r) const { return static_cast<int32_t>(perm.empty() ? r : perm[r]); }
};

// Everything the threads read; raw views prepared with the interpreter lock held.
struct Job {
    const double *mu = nullptr, *sigma = nullptr;
    size_t n_elems = 0;
    int32_t N = 0, M = 0, k = 0, n_samples = 0, mode_i = 0, within_mode_i = 0;
    uint64_t seed = 0;
    Accumulators *acc = nullptr;  // detailed pass; null for counting
    int32_t *win = nullptr, *lose = nullptr;  // detailed: the result counters
    int64_t *rank = nullptr;
    int32_t *ring = nullptr;     // detailed: ring_slots x N x 3 observations
    int32_t *control = nullptr;  // detailed: ring_slots + lanes int32 of coordination state
    int32_t ring_slots = 0;
};

// Runs every sample; call with the interpreter lock released, on the thread that made `watch`.
// Returns 0, the rating component's code of the earliest failing sample, kThreadStartFailed or
// kStopped. Every thread it started has ended when it returns.
int run_pool(const Job &job, Lane *lanes, int32_t n_lanes, Watch &watch);

}  // namespace par
}  // namespace vq
