// Buffer checks of the rating component's C-level entry.
#include "rating.hpp"

namespace vq {
namespace rating {
namespace {

// Data that can be read as elements of `elem` bytes (every element type here is aligned to its size).
bool usable(const void *data, size_t elem) {
    return data != nullptr && reinterpret_cast<uintptr_t>(data) % elem == 0;
}

// Contiguous in NumPy's sense: strides matter only along axes longer than 1, and an empty
// buffer is contiguous whatever its strides.
bool contiguous_1d(const MemviewSlice &s, int64_t n, ssize_t elem) {
    return s.shape[0] == n && (n <= 1 || s.strides[0] == elem) && (n == 0 || usable(s.data, elem));
}

bool contiguous_2d(const MemviewSlice &s, int64_t rows, int64_t cols, ssize_t elem) {
    if (s.shape[0] != rows || s.shape[1] != cols) return false;
    if (rows == 0 || cols == 0) return true;
    return usable(s.data, elem) && (cols <= 1 || s.strides[1] == elem) &&
           (rows <= 1 || s.strides[0] == elem * cols);
}

}  // namespace

int check_buffers(const MemviewSlice &X, const MemviewSlice &front_id, const MemviewSlice &within,
                  const MemviewSlice &order, const MemviewSlice &offsets, const MemviewSlice &items,
                  const MemviewSlice &dom, const MemviewSlice &n_dom, const MemviewSlice &cur,
                  const MemviewSlice &nxt, Pair *pairs, OrderKey *keys, const MemviewSlice &R, Buffers *out) {
    const int64_t N = X.shape[0], M = X.shape[1];
    if (N < 0 || M < 0 || N > INT32_MAX) return kBadBuffer;
    // An N x M matrix of doubles must be addressable; a row size that wraps around could match a
    // bogus row stride.
    if (N > 0 && M > PTRDIFF_MAX / static_cast<int64_t>(sizeof(double)) / N) return kBadBuffer;
    bool ok = contiguous_2d(X, N, M, sizeof(double)) && contiguous_2d(R, N, M, sizeof(double)) &&
              contiguous_1d(front_id, N, sizeof(int64_t)) && contiguous_1d(within, N, sizeof(double)) &&
              contiguous_1d(order, N, sizeof(int64_t)) && contiguous_1d(items, N, sizeof(int64_t)) &&
              contiguous_1d(offsets, N + 1, sizeof(int64_t)) && contiguous_2d(dom, N, N, sizeof(uint8_t)) &&
              contiguous_1d(n_dom, N, sizeof(int32_t)) && contiguous_1d(cur, N, sizeof(int32_t)) &&
              contiguous_1d(nxt, N, sizeof(int32_t)) && usable(pairs, alignof(Pair)) &&
              usable(keys, alignof(OrderKey));
    if (!ok) return kBadBuffer;
    *out = Buffers{N,
                   M,
                   reinterpret_cast<const double *>(X.data),
                   reinterpret_cast<int64_t *>(front_id.data),
                   reinterpret_cast<double *>(within.data),
                   reinterpret_cast<int64_t *>(order.data),
                   reinterpret_cast<int64_t *>(offsets.data),
                   reinterpret_cast<int64_t *>(items.data),
                   reinterpret_cast<uint8_t *>(dom.data),
                   reinterpret_cast<int32_t *>(n_dom.data),
                   reinterpret_cast<int32_t *>(cur.data),
                   reinterpret_cast<int32_t *>(nxt.data),
                   pairs,
                   keys,
                   reinterpret_cast<double *>(R.data)};
    return 0;
}

int rate_population_inplace(MemviewSlice X, int mode_i, int within_mode_i, MemviewSlice front_id,
                            MemviewSlice within, MemviewSlice order, MemviewSlice offsets,
                            MemviewSlice items, MemviewSlice dom, MemviewSlice n_dom, MemviewSlice cur,
                            MemviewSlice nxt, Pair *pairs, OrderKey *keys, MemviewSlice R) {
    if (mode_i != 0 && mode_i != 1) return kBadMode;
    if (within_mode_i != 0) return kBadWithinMode;
    Buffers b;
    if (check_buffers(X, front_id, within, order, offsets, items, dom, n_dom, cur, nxt, pairs, keys, R, &b) < 0)
        return kBadBuffer;
    return rate(mode_i, b);
}

}  // namespace rating
}  // namespace vq
