// Where each Monte-Carlo sample's draws start, so that samples can be drawn on several threads
// and still take exactly the values of the one sequential stream.
//
// Every sample takes the same number D of deviates: one per element whose standard deviation is
// not 0.0 (NaN included). Sample s therefore starts at deviate s * D of the stream, inside the
// Box-Muller pair floor(s * D / 2), on its second half when s * D is odd. A cursor that hands out
// the generator state at the first raw output of that pair only has to skip raw outputs (about
// 1 ns each); the worker redoes the pair's transform for the pending spare and draws the rest.
//
// Ties shuffle: sample s presents the rows in an order drawn by Fisher-Yates from a generator of
// its own, seeded with SplitMix64 outputs 4s + 5 to 4s + 8 of `seed` (outputs 1 to 4 seed the
// sampling generator): one SplitMix64 sequence, cut into the seeds of every sample, so the order
// of a sample does not depend on which thread draws it or when.
//
// Pure C++: no Python, no allocation, cannot fail.
#pragma once
#include <cstddef>
#include <cstdint>

#include "box_muller.hpp"
#include "portable.hpp"

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

// The generator state at the start of one sample.
struct SampleStart {
    Xoshiro256ss gen;  // at the first raw output of the pair holding the sample's first deviate
    bool odd;          // the first deviate is the pair's second half (the spare)
};

// The spare state of the sequential stream, re-made: the pair's first half was the previous
// sample's last deviate.
inline void enter_sample(SampleStart &c) {
    if (c.odd) (void)_xoshiro_randn(c.gen);
}

class StreamCursor {
public:
    void start(uint64_t seed, uint64_t per_sample) {
        _xoshiro_seed(gen_, seed);
        per_sample_ = per_sample;
        dev_ = 0;
    }

    // The start of the next run of `samples` samples, which one generator then draws one after
    // another; the cursor moves past their draws.
    SampleStart next(int32_t samples) {
        SampleStart c{gen_, (dev_ & 1) != 0};
        const uint64_t end = dev_ + per_sample_ * static_cast<uint64_t>(samples);
        skip_outputs(gen_, 2 * (end / 2 - dev_ / 2));
        dev_ = end;
        return c;
    }

private:
    Xoshiro256ss gen_{};
    uint64_t per_sample_ = 0;
    uint64_t dev_ = 0;  // deviates drawn before the next sample
};

// Uniform random permutation of 0 .. N-1 for sample s, built inside out (Fisher-Yates): slot i
// takes the value of a slot j drawn from 0 .. i, which takes i. j is the high half of u * (i + 1),
// u a 32-bit half of a raw output while N <= 2^16 (two steps per output), else a whole output;
// off from uniform by less than 2^-16 or N / 2^64 per step.
inline void shuffle_order(uint64_t seed, int32_t s, int64_t *perm, int32_t N) {
    Xoshiro256ss st;
    _xoshiro_seed(st, seed + 4 * (static_cast<uint64_t>(s) + 1) * 0x9E3779B97F4A7C15ULL);
    auto place = [perm](int32_t i, uint64_t j) {
        perm[i] = perm[j];
        perm[j] = i;
    };
    if (N > 0) perm[0] = 0;
    int32_t i = 1;
    if (N <= 65536) {
        for (; i + 1 < N; i += 2) {
            const uint64_t u = _xoshiro_next_u64(st);
            place(i, ((u >> 32) * static_cast<uint64_t>(i + 1)) >> 32);
            place(i + 1, ((u & 0xffffffffULL) * static_cast<uint64_t>(i + 2)) >> 32);
        }
    }
    for (; i < N; ++i) place(i, mul_high64(_xoshiro_next_u64(st), static_cast<uint64_t>(i + 1)));
}

}  // namespace par
}  // namespace vq
