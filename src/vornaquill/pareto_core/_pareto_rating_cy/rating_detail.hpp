// Internals of the rating: order keys, the sorts, and the per-call workspace carved out of the
// caller's buffers. Pure C++, no allocation.
#pragma once
#include <cstdint>
#include <cstring>

#include "rating.hpp"

namespace vq {
namespace rating {
namespace detail {

// Every comparison of objective values goes through a 64-bit key whose unsigned order is the
// NaN-last preorder: numbers by value with -0.0 equal to +0.0, then every NaN, all NaNs equal.
// Non-negative doubles keep their bit pattern's order, so an average-rank matrix (finite and
// >= 0) is its own key matrix when read as bits.
inline uint64_t order_key(double x) {
    uint64_t u;
    const double y = x + 0.0;  // -0.0 becomes +0.0
    std::memcpy(&u, &y, sizeof u);
    // Negative: all bits flipped; otherwise the sign bit set. Branch-free: called per value.
    const uint64_t key = u ^ (static_cast<uint64_t>(static_cast<int64_t>(u) >> 63) | (uint64_t{1} << 63));
    return x != x ? UINT64_MAX : key;
}

inline uint64_t load_key(const double *p) {
    uint64_t u;
    std::memcpy(&u, p, sizeof u);
    return u;
}

inline void store_key(double *p, uint64_t u) { std::memcpy(p, &u, sizeof u); }

inline uint64_t pair_key(const Pair &p) { return load_key(&p.val); }

// Below this many records a comparison sort beats the counting passes of a radix sort (or of
// the value buckets of the column sort).
constexpr int64_t kRadixMinN = 32;

// Sorts Pair records holding a key in `val` by (key, idx) ascending.
void sort_pairs(Pair *p, int64_t n);

// Sorts n records put in idx order (then a stable sort by key is enough) by (key, idx). The
// records are counted for the radix passes as they are put, which saves a pass over them.
// `spare` must hold n more records.
class IndexOrderSort {
public:
    IndexOrderSort(Pair *p, int64_t n, Pair *spare)
        : p_(p), spare_(spare), n_(n), radix_(n >= kRadixMinN), low_(n < 1024 ? 1 : 0) {
        if (radix_) std::memset(count_, 0, sizeof count_);
    }
    // Record j (0 .. n-1, in increasing idx order).
    void put(int64_t j, uint64_t key, int32_t idx) {
        store_key(&p_[j].val, key);
        p_[j].idx = idx;
        if (!radix_) return;
        uint32_t(*c)[256] = count_[j & 1];
        ++c[0][(key >> 32) & 0xff];  // counted even when not sorted: cheaper than a loop from low_
        ++c[1][(key >> 40) & 0xff];
        ++c[2][(key >> 48) & 0xff];
        ++c[3][key >> 56];
    }
    void sort();

private:
    Pair *p_, *spare_;
    int64_t n_;
    bool radix_;
    int low_;  // lowest radix digit sorted: the sorted bits are 32 + 8 * low_ .. 63
    uint32_t count_[2][4][256];  // per half of the input (even and odd j), per digit
};

// Second step of a counting sort: src[0 .. n) (in index order) goes to dst by bucket id
// (ids[j] < nb), stably. `end` holds the nb bucket sizes and is left holding one past the last
// slot of each bucket.
void scatter_by_bucket(const Pair *src, const uint32_t *ids, int64_t n, int64_t nb, int32_t *end, Pair *dst);

// Sorts p[0 .. n) by (key, then the order the records are in): a stable insertion sort, for
// records nearly in order. Gives up, leaving some permutation of them, once it has moved records
// more than `budget` places in all: returns false.
bool insertion_by_key(Pair *p, int64_t n, int64_t budget);

// Stable distribution of positions 0 .. n-1 into buckets whose slots start at start[f] and end
// at start[f + 1]: emit(slot, j) for each j, the j of one bucket in increasing order. Each bucket
// is filled from both ends at once (the first half of the positions forward, the second half
// backward), so that runs of positions bound for the same bucket, common when there are few
// fronts, make two independent chains of cursor updates instead of one. `lo` and `hi` hold one
// cursor per bucket.
template <class BucketOf, class Emit>
inline void distribute(int64_t n, const int64_t *start, int64_t n_buckets, int32_t *lo, int32_t *hi,
                       BucketOf bucket_of, Emit emit) {
    for (int64_t f = 0; f < n_buckets; ++f) {
        lo[f] = static_cast<int32_t>(start[f]);
        hi[f] = static_cast<int32_t>(start[f + 1]);
    }
    const int64_t h = n / 2;
    for (int64_t j = 0; j < h; ++j) {
        const int64_t t = n - 1 - j;
        emit(lo[bucket_of(j)]++, j);
        emit(--hi[bucket_of(t)], t);
    }
    if (n % 2) emit(lo[bucket_of(h)], h);
}

// Everything the steps of one rating share.
struct Work {
    const Buffers *b;
    int64_t N, M;
    const double *W;  // values the crowding subtracts and divides: X, or the average ranks in R
    int32_t *lex;  // individuals in lexicographic order of their key rows, index last
    int32_t *col;  // if not null: per objective m, col + m*N holds the individuals by (key m, index)
    uint64_t *bits;  // if not null: room for the dominance bitsets (objectives >= 3)
    uint64_t tied;  // bit m clear: column m (m < 64) is known to hold no two equal keys
    bool has_ties(int64_t m) const { return m >= 64 || ((tied >> m) & 1u); }
    uint64_t key(int64_t i, int64_t m) const { return load_key(b->R + i * M + m); }
    bool same_row(int64_t i, int64_t j) const {
        const double *a = b->R + i * M, *c = b->R + j * M;
        for (int64_t m = 0; m < M; ++m)
            if (load_key(a + m) != load_key(c + m)) return false;
        return true;
    }
};

// Writes front_id for every individual; returns the number of fronts.
int64_t assign_fronts(const Work &w);

}  // namespace detail
}  // namespace rating
}  // namespace vq
