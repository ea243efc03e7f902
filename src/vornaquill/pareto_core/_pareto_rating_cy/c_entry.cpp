// The rating component's C-level entry, rate_population_inplace (exported through the capsule):
// the mode checks, then every buffer checked against kRatingBuffers, then the rating.
#include "rating.hpp"

namespace vq {
namespace rating {
namespace {

// Data that can be read as elements of `align`-byte alignment.
bool usable(const void *data, size_t align) {
    return data != nullptr && reinterpret_cast<uintptr_t>(data) % align == 0;
}

// Contiguous in NumPy's sense: strides matter only along axes longer than 1, and an empty
// buffer is contiguous whatever its strides.
bool contiguous_1d(const MemviewSlice &s, int64_t n, std::ptrdiff_t elem) {
    return s.shape[0] == n && (n <= 1 || s.strides[0] == elem) && (n == 0 || usable(s.data, elem));
}

bool contiguous_2d(const MemviewSlice &s, int64_t rows, int64_t cols, std::ptrdiff_t elem) {
    if (s.shape[0] != rows || s.shape[1] != cols) return false;
    if (rows == 0 || cols == 0) return true;
    return usable(s.data, elem) && (cols <= 1 || s.strides[1] == elem) &&
           (rows <= 1 || s.strides[0] == elem * cols);
}

// Whether one buffer fits the description of its row in kRatingBuffers: an array slice of that
// shape and element type, or, for a record block, where it starts (its length is the caller's word).
bool fits(const BufferSpec &spec, const MemviewSlice *slice, const void *records, int64_t N, int64_t M) {
    if (is_record(spec.elem)) return usable(records, elem_align(spec.elem));
    const std::ptrdiff_t elem = static_cast<std::ptrdiff_t>(elem_size(spec.elem));
    const int64_t rows = extent(spec.rows, N, M);
    return ndim(spec) == 1 ? contiguous_1d(*slice, rows, elem)
                           : contiguous_2d(*slice, rows, extent(spec.cols, N, M), elem);
}

}  // namespace

int check_buffers(const MemviewSlice *const (&slices)[kNumRatingBuffers], Pair *pairs, OrderKey *keys,
                  Buffers *out) {
    const MemviewSlice &X = *slices[kBufX];
    const int64_t N = X.shape[0], M = X.shape[1];
    if (N < 0 || M < 0 || N > INT32_MAX) return kBadBuffer;
    // An N x M matrix of doubles must be addressable; a row size that wraps around could match a
    // bogus row stride.
    if (N > 0 && M > PTRDIFF_MAX / static_cast<int64_t>(sizeof(double)) / N) return kBadBuffer;
    for (const BufferSpec &spec : kRatingBuffers) {
        const void *records = spec.id == kBufPairs ? static_cast<const void *>(pairs) : keys;
        if (!fits(spec, slices[spec.id], records, N, M)) return kBadBuffer;
    }
    auto data = [&slices](RatingBuffer id) { return slices[id]->data; };
    *out = Buffers{N,
                   M,
                   reinterpret_cast<const double *>(data(kBufX)),
                   reinterpret_cast<int64_t *>(data(kBufFrontId)),
                   reinterpret_cast<double *>(data(kBufWithin)),
                   reinterpret_cast<int64_t *>(data(kBufOrder)),
                   reinterpret_cast<int64_t *>(data(kBufOffsets)),
                   reinterpret_cast<int64_t *>(data(kBufItems)),
                   reinterpret_cast<uint8_t *>(data(kBufDom)),
                   reinterpret_cast<int32_t *>(data(kBufNDom)),
                   reinterpret_cast<int32_t *>(data(kBufCur)),
                   reinterpret_cast<int32_t *>(data(kBufNxt)),
                   pairs,
                   keys,
                   reinterpret_cast<double *>(data(kBufR))};
    return 0;
}

int rate_population_inplace(MemviewSlice X, int mode_i, int within_mode_i, MemviewSlice front_id,
                            MemviewSlice within, MemviewSlice order, MemviewSlice offsets, MemviewSlice items,
                            MemviewSlice dom, MemviewSlice n_dom, MemviewSlice cur, MemviewSlice nxt, Pair *pairs,
                            OrderKey *keys, MemviewSlice R) {
    if (mode_i != 0 && mode_i != 1) return kBadMode;
    if (within_mode_i != 0) return kBadWithinMode;
    // The slices by RatingBuffer; the record blocks have none.
    const MemviewSlice *const slices[kNumRatingBuffers] = {
        &X, &R, &front_id, &within, &order, &items, &offsets, &dom, &n_dom, &cur, &nxt, nullptr, nullptr};
    Buffers b;
    if (check_buffers(slices, pairs, keys, &b) < 0) return kBadBuffer;
    return rate(mode_i, b);
}

}  // namespace rating
}  // namespace vq
