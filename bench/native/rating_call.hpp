// For the native benchmarks (microbench.cpp, kernel_loop.cpp): the rating buffers of one
// population and one call of the rating's C-level entry on them.
#pragma once
#include <cstdint>
#include <vector>

#include "rating.hpp"

// The rating buffers of one population, laid out from the buffer table (rating_abi.hpp), each in
// its own zeroed, 8-byte aligned block.
struct RatingCall {
    int64_t N, M;
    std::vector<uint64_t> storage[vq::kNumRatingBuffers];
    vq::MemviewSlice s[vq::kNumRatingBuffers];

    RatingCall(int64_t n, int64_t m) : N(n), M(m) {
        for (const vq::BufferSpec &b : vq::kRatingBuffers) {
            storage[b.id].resize((vq::byte_size(b, n, m) + 7) / 8);
            s[b.id] = vq::contiguous_slice(b, storage[b.id].data(), n, m);
        }
    }
    int operator()(double *X) {
        s[vq::kBufX] = vq::contiguous_slice(vq::kRatingBuffers[vq::kBufX], X, N, M);
        return vq::rating::rate_population_inplace(
            s[vq::kBufX], 1, 0, s[vq::kBufFrontId], s[vq::kBufWithin], s[vq::kBufOrder], s[vq::kBufOffsets],
            s[vq::kBufItems], s[vq::kBufDom], s[vq::kBufNDom], s[vq::kBufCur], s[vq::kBufNxt],
            reinterpret_cast<vq::Pair *>(storage[vq::kBufPairs].data()),
            reinterpret_cast<vq::OrderKey *>(storage[vq::kBufKeys].data()), s[vq::kBufR]);
    }
};
