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

inline unsigned digit(const Pair &r, int shift) { return static_cast<unsigned>(pair_key(r) >> shift) & 0xffu; }

// The insertion pass that finishes the radix sort gives up after moving records this many places
// per record in all, and the runs are sorted instead.
constexpr int64_t kRadixInsertionBudget = 1;

}  // namespace

void sort_pairs(Pair *p, int64_t n) { std::sort(p, p + n, pair_less); }

namespace {

#ifdef VQ_SSE2
// Lane by lane on vectors of Count (int32_t, uint16_t or uint8_t).
template <class Count>
inline __m128i add_lanes(__m128i a, __m128i c) {
    if constexpr (sizeof(Count) == 1) return _mm_add_epi8(a, c);
    else if constexpr (sizeof(Count) == 2) return _mm_add_epi16(a, c);
    else return _mm_add_epi32(a, c);
}
template <class Count>
inline __m128i sub_lanes(__m128i a, __m128i c) {
    if constexpr (sizeof(Count) == 1) return _mm_sub_epi8(a, c);
    else if constexpr (sizeof(Count) == 2) return _mm_sub_epi16(a, c);
    else return _mm_sub_epi32(a, c);
}
// The last lane of x in every lane.
template <class Count>
inline __m128i last_lane(__m128i x) {
    if constexpr (sizeof(Count) == 4) return _mm_shuffle_epi32(x, 0xff);
    if constexpr (sizeof(Count) == 1) x = _mm_unpackhi_epi8(x, x);  // byte 15 in word 7
    const __m128i last = _mm_shufflehi_epi16(x, 0xff);
    return _mm_unpackhi_epi64(last, last);
}
#endif

// Turns the nb bucket sizes (c0[v] + c1[v] when kTwoTables, else c0[v]) into cursors: lo[v] the
// first slot of bucket v, hi[v] one past its last (lo and hi may be c0 and c1 themselves), in the
// tables' own width (8-bit ones modulo 256). The running sum is one chain of dependent additions;
// a vector at a time (SSE2), its links are as many times fewer as a vector has lanes.
template <bool kTwoTables, class Count>
void bucket_cursors(const Count *c0, const Count *c1, Count *lo, Count *hi, int64_t nb) {
    Count sum = 0;
    int64_t v = 0;
#ifdef VQ_SSE2
    constexpr int64_t kLanes = 16 / sizeof(Count);
    __m128i carry = _mm_setzero_si128();
    for (const int64_t whole = nb & ~(kLanes - 1); v < whole; v += kLanes) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c0 + v));
        if (kTwoTables) c = add_lanes<Count>(c, _mm_loadu_si128(reinterpret_cast<const __m128i *>(c1 + v)));
        __m128i x = c;
        if constexpr (sizeof(Count) == 1) x = add_lanes<Count>(x, _mm_slli_si128(x, 1));
        if constexpr (sizeof(Count) <= 2) x = add_lanes<Count>(x, _mm_slli_si128(x, 2));
        x = add_lanes<Count>(x, _mm_slli_si128(x, 4));
        x = add_lanes<Count>(x, _mm_slli_si128(x, 8));  // inclusive sums within the vector
        x = add_lanes<Count>(x, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(lo + v), sub_lanes<Count>(x, c));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(hi + v), x);
        carry = last_lane<Count>(x);
    }
    sum = static_cast<Count>(_mm_cvtsi128_si32(carry));
#endif
    for (; v < nb; ++v) {
        const Count c = static_cast<Count>(c0[v] + (kTwoTables ? c1[v] : 0));
        lo[v] = sum;
        sum = static_cast<Count>(sum + c);
        hi[v] = sum;
    }
}

}  // namespace

template <class Count>
void scatter_by_bucket(const Pair *src, const uint32_t *ids, int64_t n, int64_t nb, Count *const (&count)[2],
                       bool by_parity, Pair *dst) {
    Count *lo = count[0], *hi = count[1];
    if (by_parity) bucket_cursors<true, Count>(lo, hi, lo, hi, nb);
    else bucket_cursors<false, Count>(lo, hi, lo, hi, nb);
    auto bucket = [=](int64_t j) {  // nb is read by the check only
        VQ_ASSERT(ids[j] < nb);
        return ids[j];
    };
    fill_from_both_ends(n, lo, hi, bucket, [src, dst](int64_t slot, int64_t j) { dst[slot] = src[j]; });
}
template void scatter_by_bucket(const Pair *, const uint32_t *, int64_t, int64_t, int32_t *const (&)[2], bool,
                                Pair *);
template void scatter_by_bucket(const Pair *, const uint32_t *, int64_t, int64_t, uint16_t *const (&)[2], bool,
                                Pair *);
template void scatter_by_bucket(const Pair *, const uint32_t *, int64_t, int64_t, uint8_t *const (&)[2], bool,
                                Pair *);

namespace {

// Records are moved whole, 16 bytes at a time: a record stored in parts and then loaded whole
// waits for the parts to reach the cache.
#ifdef VQ_SSE2
typedef __m128i Record;
inline Record load_record(const Pair *r) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(r)); }
inline void store_record(Pair *r, Record v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(r), v); }
#else
typedef Pair Record;
inline Record load_record(const Pair *r) { return *r; }
inline void store_record(Pair *r, Record v) { *r = v; }
#endif

// Whether record j is below the one before it (a fence never is), as 0 or 1 without a branch.
template <bool kFenced>
inline uint64_t out_of_order(const Pair *p, int64_t j, uint64_t fence) {
    const uint64_t k = pair_key(p[j]);
    return static_cast<uint64_t>((k < pair_key(p[j - 1])) & (!kFenced || k != fence));
}

// The records out of order are found 64 at a time as a bit mask, without branches, and only they
// are inserted: a test per record whether it is out of order, as the plain insertion sort makes,
// would be mispredicted for about every record that moves (one in six after the bucket passes).
// Inserting record j puts a greater record at j, so whether record j + 1 is out of order is
// found again; the other records of the mask keep their neighbours, and the records before j
// are in order once it is inserted.
template <bool kFenced>
bool insertion_impl(Pair *p, int64_t n, int64_t budget, uint64_t fence) {
    for (int64_t base = 0; base < n; base += 64) {
        const int64_t end = std::min(base + 64, n);
        // Bit b: record base + b is out of order; built from the last record down, each bit
        // shifted in by one place (a shift by a variable count costs more).
        const int64_t first = std::max<int64_t>(base, 1);
        uint64_t out = 0;
        for (int64_t j = end - 1; j >= first; --j) out = out + out + out_of_order<kFenced>(p, j, fence);
        out <<= first - base;
        while (out) {
            const int64_t j = base + ctz64(out);
            out &= out - 1;
            const Record r = load_record(p + j);
            const uint64_t k = pair_key(p[j]);
            VQ_ASSERT(!kFenced || k > fence);
            int64_t i = j;
            do {
                store_record(p + i, load_record(p + i - 1));
                --i;
            } while (i > 0 && pair_key(p[i - 1]) > k);
            store_record(p + i, r);
            budget -= j - i;
            if (budget < 0) return false;
            // Rarely true: a branch keeps the loads of this test off the chain through `out`.
            if (j + 1 < end && out_of_order<kFenced>(p, j + 1, fence)) out |= uint64_t{1} << (j + 1 - base);
        }
    }
    return true;
}

}  // namespace

bool insertion_by_key(Pair *p, int64_t n, int64_t budget, const uint64_t *fence) {
    return fence ? insertion_impl<true>(p, n, budget, *fence) : insertion_impl<false>(p, n, budget, 0);
}

// Least-significant-digit radix sort on the high bits of the key, 8 bits per pass: the top 24
// bits below kRadixAllDigitsMinN records, the top 32 from there (measured: one pass fewer pays
// for the longer runs left to the final step while those stay short; the rating case of
// bench/native/microbench.cpp, `rating_s` at N = 256 and N = 1024, straddles it). The digits
// were counted as the records were put (the even and odd records into separate tables); each
// digit that is not the same for every record redistributes the records stably, filling each
// bucket from both ends at once (fill_from_both_ends).
// High digits of similar values repeat from record to record; split this way the counter updates
// form two independent chains instead of one. Runs that share the sorted high bits and differ
// below them are then sorted by the full key and index. O(4 N) moves plus the runs.
void IndexOrderSort::sort() {
    Pair *p = p_;
    const int64_t n = n_;
    if (!radix_) {
        sort_pairs(p, n);
        return;
    }
    Pair *src = p, *dst = spare_;
    const uint64_t first = pair_key(p[0]);
    for (int d = low_; d < 4; ++d) {
        const int shift = 32 + 8 * d;
        const int32_t *c0 = count_[0][d], *c1 = count_[1][d];
        const unsigned v0 = (first >> shift) & 0xff;
        if (c0[v0] + c1[v0] == n) continue;  // one digit value only
        int32_t lo[256], hi[256];
        bucket_cursors<true>(c0, c1, lo, hi, 256);
        fill_from_both_ends(
            n, lo, hi, [src, shift](int64_t j) { return digit(src[j], shift); },
            [src, dst](int64_t slot, int64_t j) { dst[slot] = src[j]; });
        std::swap(src, dst);
    }
    if (src != p) std::copy(src, src + n, p);
    // Records that share the sorted high bits are still in index order (every pass is stable),
    // and records with different high bits are already in key order. A stable insertion by key
    // therefore finishes the sort; records only move within their run, where few are out of
    // place. When the moves exceed a budget (long runs of close values), the runs are sorted
    // instead: they still hold the same records.
    if (insertion_by_key(p, n, kRadixInsertionBudget * n)) return;
    const int unsorted = 32 + 8 * low_;
    for (int64_t a = 0; a < n;) {
        const uint64_t key = pair_key(p[a]);
        int64_t e = a + 1;
        bool mixed = false;
        for (; e < n && pair_key(p[e]) >> unsorted == key >> unsorted; ++e) mixed |= pair_key(p[e]) != key;
        if (mixed) std::sort(p + a, p + e, pair_less);
        a = e;
    }
}

}  // namespace detail
}  // namespace rating
}  // namespace vq
