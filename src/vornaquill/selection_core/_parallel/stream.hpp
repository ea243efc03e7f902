// Where each Monte-Carlo sample's draws start, so that samples can be drawn on several threads
// and still take exactly the values of the one sequential stream.
//
// Every sample takes the same number D of deviates: one per element whose standard deviation is
// not 0.0 (NaN included). Sample s therefore starts at deviate s * D of the stream, inside the
// Box-Muller pair floor(s * D / 2), on its second half when s * D is odd. A cursor that hands out
// the generator state at the first raw output of that pair only has to skip raw outputs (about
// 1 ns each); the worker redoes the pair's transform for the pending spare and draws the rest.
//
// Ties shuffle: a second xoshiro256** generator, seeded with the four SplitMix64 outputs that
// follow those of the sampling generator, gives every sample a presentation order by
// Fisher-Yates with exactly N - 1 raw outputs per sample.
//
// Pure C++: no Python, no allocation, cannot fail.
#pragma once
#include <cstddef>
#include <cstdint>

#include "xoshiro.hpp"

namespace vq {
namespace par {

inline void skip_outputs(Xoshiro256ss &st, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) (void)_xoshiro_next_u64(st);
}

// Deviates one population draws: the elements with a nonzero standard deviation.
inline uint64_t deviates_per_sample(const double *sigma, size_t n) {
    uint64_t d = 0;
    for (size_t j = 0; j < n; ++j) d += sigma[j] != 0.0;
    return d;
}

// The generator state at the start of one sample, and that sample's shuffle generator.
struct SampleStart {
    Xoshiro256ss gen;  // at the first raw output of the pair holding the sample's first deviate
    bool odd;          // the first deviate is the pair's second half (the spare)
    Xoshiro256ss ties;
};

// The spare state of the sequential stream, re-made: the pair's first half was the previous
// sample's last deviate.
inline void enter_sample(SampleStart &c) {
    if (c.odd) (void)_xoshiro_randn(c.gen);
}

class StreamCursor {
public:
    void start(uint64_t seed, uint64_t per_sample, uint64_t tie_draws) {
        _xoshiro_seed(gen_, seed);
        _xoshiro_seed(ties_, seed + 4 * 0x9E3779B97F4A7C15ULL);  // SplitMix64 outputs 5 to 8
        per_sample_ = per_sample;
        tie_draws_ = tie_draws;
        dev_ = 0;
    }

    // The next sample's start; the cursor moves past the sample's draws.
    SampleStart next() {
        SampleStart c{gen_, (dev_ & 1) != 0, ties_};
        const uint64_t end = dev_ + per_sample_;
        skip_outputs(gen_, 2 * (end / 2 - dev_ / 2));
        skip_outputs(ties_, tie_draws_);
        dev_ = end;
        return c;
    }

private:
    Xoshiro256ss gen_{}, ties_{};
    uint64_t per_sample_ = 0, tie_draws_ = 0;
    uint64_t dev_ = 0;  // deviates drawn before the next sample
};

// Uniform random permutation of 0 .. N-1, one raw output per step: the swap partner of slot i is
// the high half of output * (i + 1) (off from uniform by less than N / 2^64).
inline void shuffle_order(Xoshiro256ss &st, int64_t *perm, int32_t N) {
    for (int32_t i = 0; i < N; ++i) perm[i] = i;
    for (int32_t i = N - 1; i > 0; --i) {
        const uint64_t j = static_cast<uint64_t>(
            (static_cast<unsigned __int128>(_xoshiro_next_u64(st)) * static_cast<uint64_t>(i + 1)) >> 64);
        const int64_t t = perm[i];
        perm[i] = perm[j];
        perm[j] = t;
    }
}

}  // namespace par
}  // namespace vq
