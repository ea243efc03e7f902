// Internals of the rating: order keys, the sorts, and the per-call workspace carved out of the
// caller's buffers. Pure C++, no allocation.
#pragma once
#include <cstdint>
#include <cstring>

#include "check.hpp"
#include "portable.hpp"
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

#ifdef VQ_SSE2
// order_key of two values at once (SSE2 has no 64-bit arithmetic shift: the high halves' sign
// bits are spread over both halves instead).
inline __m128i order_keys(__m128d x) {
    const __m128i u = _mm_castpd_si128(_mm_add_pd(x, _mm_setzero_pd()));
    const __m128i negative = _mm_shuffle_epi32(_mm_srai_epi32(u, 31), _MM_SHUFFLE(3, 3, 1, 1));
    const __m128i key = _mm_xor_si128(u, _mm_or_si128(negative, _mm_set1_epi64x(INT64_MIN)));
    return _mm_or_si128(key, _mm_castpd_si128(_mm_cmpunord_pd(x, x)));  // NaN: all ones
}

// The records of individuals i and i + 1, with their two keys, at p[i] and p[i + 1].
inline void store_two_records(Pair *p, int64_t i, __m128i keys) {
    static_assert(sizeof(Pair) == 16, "a record per key and index");
    const __m128i idx = _mm_set_epi64x(i + 1, i);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + i), _mm_unpacklo_epi64(keys, idx));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + i + 1), _mm_unpackhi_epi64(keys, idx));
}
#endif

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
// Below this many records the radix sort skips its lowest digit (sort.cpp).
constexpr int64_t kRadixAllDigitsMinN = 1024;

// Sorts Pair records holding a key in `val` by (key, idx) ascending.
void sort_pairs(Pair *p, int64_t n);

// Sorts n records put in idx order (then a stable sort by key is enough) by (key, idx). The
// records are counted for the radix passes as they are put, which saves a pass over them.
// `spare` must hold n more records.
class IndexOrderSort {
public:
    IndexOrderSort(Pair *p, int64_t n, Pair *spare)
        : p_(p), spare_(spare), n_(n), radix_(n >= kRadixMinN), low_(n < kRadixAllDigitsMinN ? 1 : 0) {
        if (radix_) std::memset(count_, 0, sizeof count_);
    }
    // Record j (0 .. n-1, in increasing idx order).
    void put(int64_t j, uint64_t key, int32_t idx) {
        store_key(&p_[j].val, key);
        p_[j].idx = idx;
        if (!radix_) return;
        int32_t (*c)[256] = count_[j & 1];
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
    int32_t count_[2][4][256];  // per half of the input (even and odd j), per digit
};

// Stable distribution of positions 0 .. n-1 into buckets, given their cursors: lo[b] the first
// free slot of bucket b, hi[b] one past its last. emit(slot, j) for each j, the j of one bucket in
// increasing order. Each bucket is filled from both ends at once (the first half of the positions
// forward, the second half backward), so that runs of positions bound for the same bucket (few
// fronts, crowded or tied values) make two independent chains of cursor updates instead of one.
//
// 8-bit cursors (n <= kByteBucketsMaxN = 256) count modulo 256: a bucket that ends at slot 256
// has hi 0, and --hi gives 255; the slots themselves are below 256, so every one is exact.
constexpr int64_t kByteBucketsMaxN = 256;
template <class Cursor>
inline bool slot_free(Cursor lo, Cursor hi, int64_t n) {
    if (sizeof(Cursor) > 1) return lo < hi;
    return static_cast<uint8_t>(hi - lo) != 0 || n == kByteBucketsMaxN;  // 256 free slots: one bucket holds all
}

template <class Cursor, class BucketOf, class Emit>
inline void fill_from_both_ends(int64_t n, Cursor *lo, Cursor *hi, BucketOf bucket_of, Emit emit) {
    const int64_t h = n / 2;
    // Every position finds a free slot in its bucket: the two cursors of a bucket never cross.
    for (int64_t j = 0; j < h; ++j) {
        const int64_t t = n - 1 - j;
        const auto bj = bucket_of(j);
        VQ_ASSERT(slot_free(lo[bj], hi[bj], n));
        emit(lo[bj]++, j);
        const auto bt = bucket_of(t);
        VQ_ASSERT(slot_free(lo[bt], hi[bt], n));
        emit(--hi[bt], t);
    }
    if (n % 2) {
        const auto bh = bucket_of(h);
        VQ_ASSERT(slot_free(lo[bh], hi[bh], n));
        emit(lo[bh], h);
    }
}

// Second step of a counting sort: src[0 .. n) (in index order) goes to dst by bucket id
// (ids[j] < nb), stably (fill_from_both_ends). count[0] holds the nb bucket sizes, or with
// by_parity the sizes among the even-numbered records, count[1] then those among the odd-numbered
// ones (by_parity below); both are overwritten. Count is int32_t, uint16_t or uint8_t
// (with_bucket_tables).
template <class Count>
void scatter_by_bucket(const Pair *src, const uint32_t *ids, int64_t n, int64_t nb, Count *const (&count)[2],
                       bool by_parity, Pair *dst);

// Value buckets of the counting sorts (the column sorts and the score sort) per record: the more
// buckets, the fewer records share one, and the fewer the insertion pass that finishes the sort
// moves (on the kernel's populations at N = 256, about 39 records of a column out of order with
// two buckets per record, 22 with four). Their sizes and cursors are kept in two tables of N int64
// (`order` and `items`): as uint16, four buckets per record, while they fit (n < 2^16); as int32,
// two per record, beyond. Up to 256 records they are uint8, counted modulo 256 (fill_from_both_ends):
// half the bytes to clear and to sum into cursors.
constexpr int64_t kNarrowBucketsMaxN = UINT16_MAX;
inline int64_t buckets_per_record(int64_t n) { return n <= kNarrowBucketsMaxN ? 4 : 2; }

// Calls use(tables) with the two bucket tables of a counting sort of n records, given as int32,
// seen as uint8, uint16 or int32 as above.
template <class Use>
inline void with_bucket_tables(int32_t *const (&count)[2], int64_t n, Use use) {
    static_assert(4 * sizeof(uint16_t) <= sizeof(int64_t) && 2 * sizeof(int32_t) <= sizeof(int64_t),
                  "the bucket tables fit in `order` and `items`");
    if (n <= kByteBucketsMaxN) {
        uint8_t *const bytes[2] = {reinterpret_cast<uint8_t *>(count[0]), reinterpret_cast<uint8_t *>(count[1])};
        use(bytes);
    } else if (n <= kNarrowBucketsMaxN) {
        uint16_t *const narrow[2] = {reinterpret_cast<uint16_t *>(count[0]),
                                     reinterpret_cast<uint16_t *>(count[1])};
        use(narrow);
    } else {
        use(count);
    }
}

// Calls put(j, count) for j = 0 .. n-1 in order, count being the table of j's parity: counted
// into two tables, records that fall into the same bucket make two chains of counter updates.
template <class Count, class Put>
inline void by_parity(int64_t n, Count *const (&count)[2], Put put) {
    int64_t j = 0;
    for (; j + 1 < n; j += 2) {
        put(j, count[0]);
        put(j + 1, count[1]);
    }
    if (j < n) put(j, count[0]);
}

// Sorts p[0 .. n) by (key, then the order the records are in): a stable insertion sort, for
// records nearly in order. Gives up, leaving some permutation of them, once it has moved records
// more than `budget` places in all: returns false. With a fence key, which must be below every
// other key there, the records holding it stay where they are and cut p into runs sorted apart
// (a given-up sort still leaves each run's own records in it).
bool insertion_by_key(Pair *p, int64_t n, int64_t budget, const uint64_t *fence = nullptr);

// Stable distribution of positions 0 .. n-1 into buckets whose slots start at start[f] and end
// at start[f + 1] (fill_from_both_ends); `lo` and `hi` hold one cursor per bucket.
template <class BucketOf, class Emit>
inline void distribute(int64_t n, const int64_t *start, int64_t n_buckets, int32_t *lo, int32_t *hi,
                       BucketOf bucket_of, Emit emit) {
    for (int64_t f = 0; f < n_buckets; ++f) {
        lo[f] = static_cast<int32_t>(start[f]);
        hi[f] = static_cast<int32_t>(start[f + 1]);
    }
    auto checked = [&](int64_t j) {
        const int64_t f = bucket_of(j);
        VQ_ASSERT(f >= 0 && f < n_buckets);
        return f;
    };
    fill_from_both_ends(n, lo, hi, checked, emit);
}

// Width of Work::tied: objectives from this one on are taken to hold ties.
constexpr int64_t kTiedBits = 64;

// The phases of one rating, in order: keys (prepare_keys, sort_column), lexicographic order,
// fronts (assign_fronts), groups (group_fronts), crowding, global order. The caller's buffers are
// reused from phase to phase for other data; every phase reaches them through the named views of
// Work, which plan_work (rating.cpp) sets once, and never through the buffers' own names. Nothing
// is carried over from an earlier call: each view is written by the step in the last column
// before it is read.
//
// phase     view                  buffer    holds                                          written first by
// keys      R (b->R)              R         order keys of X (mode 0) or average ranks      prepare_keys
// keys      col                   dom       per objective, individuals by (key, index)     prepare_keys
// keys      column.sorted         pairs     one column's records by (key, index)           sort_column
// keys      column.spare          keys      records before the bucket pass / radix spare   sort_column
// keys      column.bucket         nxt       bucket of each individual (uint32)             sort_column
// keys      column.bucket_count   order,    4 N bucket sizes, then cursors (uint16; uint8 up  sort_column
//                                 items     to N = 256; 2 N, int32, from N = 2^16 on), each
//                                           (sizes in `order` only)
// lex       lex                   cur       individuals in lexicographic order of rows     lexicographic_order
// fronts    b->front_id           front_id  front of each individual (output)              assign_fronts
// fronts    fronts.least_key      items     per front, least second key (uint64)           sweep_two
//           fronts.least_rank     items     the same as 32-bit ranks (with col)            sweep_two
// keys      fronts.second_rank    nxt       rank of each individual's second key (M = 2)   prepare_keys
// fronts    fronts.least_bits     items     per-front minima as a bitset of ranks          sweep_two_bits
// fronts    fronts.front_of_least n_dom     per rank: the front it is the minimum of       sweep_two_bits
// keys      fronts.third_rank     nxt       rank of each individual's third key (M = 3)    prepare_keys
// fronts    fronts.second_pos     n_dom     place of each individual in col + N            fronts_three
// fronts    fronts.second_end     items     last place of its run of ties there (int32)    fronts_three
// fronts    fronts.third_at       items     per place there, its third rank (second half)  fronts_three
// fronts    bits                  dom       per front, its staircase set                   fronts_three
// fronts    bits                  dom       per front, least third ranks by block, place   fronts_three_table
// fronts    fronts.lex_pos        n_dom     lexicographic position of each individual      fronts_bitsets
// fronts    bits                  dom       dominance rows, member rows, one running row   fronts_bitsets
// fronts    fronts.size           offsets   per front, its size (from offsets + 1)         sweep_two_bits, _words
// fronts    fronts.place          order     place of each individual in its front (int32)  sweep_two_bits, _words
// fronts    fronts.first          offsets   per front, first lexicographic position        fronts_bitsets
// fronts    fronts.last           items     per front, last lexicographic position         fronts_bitsets
// groups    front_start           offsets   first slot of each front, then N               group_fronts
// groups    groups.half_count     order     front sizes in the second half of the rows     group_fronts
// groups    members               items     members of each front by index (without col)   group_fronts
// *         cursor_lo, cursor_hi  n_dom,nxt one cursor per front for the distributions     distribute
// crowding  members               items     members of each front by (key m, index)        order_members
// crowding  crowding.sorted       pairs     one front's records (without col)              order_members
// crowding  b->within             within    within-front score (output)                    crowding
// global    global.records        pairs     score records by front, then key               global_order
// global    global.shift          n_dom     per front, the shift of its score buckets      global_order
// global    global.spare          keys      records before the bucket pass                 global_order
// global    global.bucket         nxt       bucket of each score (uint32)                  global_order
// global    global.bucket_count   order,    4 N bucket sizes, then cursors (uint16; uint8 up  global_order
//                                 items     to N = 256; 2 N, int32, from N = 2^16 on), each
// global    b->order              order     global order (output)                          global_order
//
// The distributions (*) of groups and crowding reuse the same two cursor arrays.
struct Work {
    const Buffers *b;
    int64_t N, M;
    const double *W;  // values the crowding subtracts and divides: X, or the average ranks in R
    int32_t *lex;
    int32_t *col;  // if not null: per objective m, col + m*N holds the individuals by (key m, index)
    uint64_t *bits;  // if not null: room for the dominance bitsets (objectives >= 3)
    int64_t bit_words;  // its length in words (with three objectives, the arena's rest)
    uint64_t tied;  // bit m clear: column m (m < kTiedBits) is known to hold no two equal keys
    // Set by the two-objective sweeps (sweep_two_words, sweep_two_bits, through FrontJoin), which
    // count each front's size into fronts.size and note each individual's place in its front, in
    // lexicographic order, in fronts.place.
    mutable bool placed;
    int64_t *front_start;  // front f's slots are front_start[f] .. front_start[f + 1] - 1
    int64_t *members;
    int32_t *cursor_lo, *cursor_hi;
    struct {
        Pair *sorted, *spare;
        uint32_t *bucket;
        int32_t *bucket_count[2];
    } column;
    struct {
        uint64_t *least_key, *least_bits;
        int32_t *least_rank, *second_rank, *front_of_least, *lex_pos, *third_rank, *second_pos, *second_end,
            *third_at;
        int64_t *first, *last;
        int64_t *size;  // front_start + 1
        int32_t *place;
    } fronts;
    struct {
        int64_t *half_count;
    } groups;
    struct {
        Pair *sorted;
    } crowding;
    struct {
        Pair *records, *spare;
        uint8_t *shift;
        uint32_t *bucket;
        int32_t *bucket_count[2];
    } global;

    bool has_ties(int64_t m) const { return m >= kTiedBits || ((tied >> m) & 1u); }
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
