// Pareto rating of one sampled population: fronts (non-dominated sorting), within-front
// crowding distance, and one global order (front ascending, score descending, index ascending).
// Every objective is minimised; NaN compares after every number. Pure C++: no Python, no
// allocation (all storage comes from the caller), safe to run on several threads at once.
#pragma once
#include <cstdint>

#include "rating_abi.hpp"

namespace vq {
namespace rating {

enum : int { kBadMode = -1, kBadWithinMode = -2, kBadBuffer = -3 };

// Raw views of the caller's buffers after the shape and contiguity checks.
struct Buffers {
    int64_t N, M;
    const double *X;
    int64_t *front_id;
    double *within;
    int64_t *order;
    int64_t *offsets;  // N + 1
    int64_t *items;
    uint8_t *dom;  // N x N
    int32_t *n_dom;
    int32_t *cur;
    int32_t *nxt;
    Pair *pairs;  // max(N, 1)
    OrderKey *keys;  // max(N, 1)
    double *R;  // N x M
};

// Fill `out` from the slices (indexed by RatingBuffer, null for the record blocks) and the record
// blocks; kBadBuffer when a buffer does not fit X (kRatingBuffers) or is not contiguous.
int check_buffers(const MemviewSlice *const (&slices)[kNumRatingBuffers], Pair *pairs, OrderKey *keys,
                  Buffers *out);

// Rate a population whose buffers passed check_buffers; mode_i and within_mode_i already valid.
// Returns the number of fronts.
int rate(int mode_i, const Buffers &b);

// The exported C-level entry: error codes -1 (mode_i), -2 (within_mode_i), -3 (buffers), in
// this order of checking; nothing is written on error.
int rate_population_inplace(MemviewSlice X, int mode_i, int within_mode_i, MemviewSlice front_id,
                            MemviewSlice within, MemviewSlice order, MemviewSlice offsets, MemviewSlice items,
                            MemviewSlice dom, MemviewSlice n_dom, MemviewSlice cur, MemviewSlice nxt, Pair *pairs,
                            OrderKey *keys, MemviewSlice R);

}  // namespace rating
}  // namespace vq
