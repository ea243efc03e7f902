// Sorts of Pair records by (key, idx), the key being the 64-bit order key stored in `val`.
#include <algorithm>

#include "rating_detail.hpp"

namespace vq {
namespace rating {
namespace detail {
namespace {

inline bool pair_less(const Pair &a, const Pair &c) {
    const uint64_t ka = pair_key(a), kc = pair_key(c);
    return ka < kc || (ka == kc && a.idx < c.idx);
}

// Least-significant-digit radix sort on the high 32 bits of the key, 8 bits per pass: one pass
// counts the four digits, then each digit that is not the same for every record redistributes
// the records stably. Runs that share the high half (rare for continuous data; whole tie groups
// for repeated values) and differ in the low half are then sorted by the full key and index.
// O(4 N) moves plus the runs.
void radix_sort(Pair *p, int64_t n, Pair *spare) {
    uint32_t count[4][256] = {};
    for (int64_t j = 0; j < n; ++j) {
        const uint64_t k = pair_key(p[j]);
        for (int d = 0; d < 4; ++d) ++count[d][(k >> (32 + 8 * d)) & 0xff];
    }
    Pair *src = p, *dst = spare;
    const uint64_t first = pair_key(p[0]);
    for (int d = 0; d < 4; ++d) {
        const int shift = 32 + 8 * d;
        uint32_t *c = count[d];
        if (c[(first >> shift) & 0xff] == static_cast<uint32_t>(n)) continue;  // one digit value only
        uint32_t sum = 0;
        for (int v = 0; v < 256; ++v) {
            const uint32_t t = c[v];
            c[v] = sum;
            sum += t;
        }
        for (int64_t j = 0; j < n; ++j) dst[c[(pair_key(src[j]) >> shift) & 0xff]++] = src[j];
        std::swap(src, dst);
    }
    if (src != p) std::copy(src, src + n, p);
    for (int64_t a = 0; a < n;) {
        const uint64_t key = pair_key(p[a]);
        int64_t e = a + 1;
        bool mixed = false;
        for (; e < n && pair_key(p[e]) >> 32 == key >> 32; ++e) mixed |= pair_key(p[e]) != key;
        if (mixed) std::sort(p + a, p + e, pair_less);
        a = e;
    }
}

}  // namespace

void sort_pairs(Pair *p, int64_t n) { std::sort(p, p + n, pair_less); }

void sort_pairs_from_index_order(Pair *p, int64_t n, Pair *spare) {
    if (n < kRadixMinN)
        sort_pairs(p, n);
    else
        radix_sort(p, n, spare);
}

}  // namespace detail
}  // namespace rating
}  // namespace vq
