// Non-dominated sorting on the key matrix (R read as keys), one method per number of objectives.
// All of them walk the individuals in lexicographic order of their key rows (`lex`): a dominator
// always comes before the individual it dominates there, and identical rows are neighbours, so
// the first of a run of identical rows is dominated exactly by the earlier rows that are <= it in
// every objective, and the rest of the run copies its front.
#include <algorithm>
#include <cstdint>

#include "rating_detail.hpp"

namespace vq {
namespace rating {
namespace detail {
namespace {

// No objectives: nobody dominates anybody. O(N).
int64_t fronts_none(const Work &w) {
    std::fill(w.b->front_id, w.b->front_id + w.N, 0);
    return 1;
}

// One objective: the front is the number of distinct values below. One pass over the sorted
// order, O(N).
int64_t fronts_one(const Work &w) {
    int64_t *front = w.b->front_id;
    int64_t f = 0;
    front[w.lex[0]] = 0;
    for (int64_t s = 1; s < w.N; ++s) {
        if (w.key(w.lex[s], 0) != w.key(w.lex[s - 1], 0)) ++f;
        front[w.lex[s]] = f;
    }
    return f + 1;
}

// Walks the individuals in lexicographic order from position `start` on (the earlier ones, in
// n_fronts fronts, already placed: see replay_lex). The first of each run of identical rows gets
// the front first_of_run(s, p, n_fronts) chooses (n_fronts when it opens a new one); the rest of
// the run copies it. placed(s, f) is told every placement. Returns the number of fronts.
template <class FirstOfRun, class Placed>
int64_t walk_lex(const Work &w, FirstOfRun first_of_run, Placed placed, int64_t start = 0, int64_t n_fronts = 0) {
    int64_t *front = w.b->front_id;
    const bool rows_may_repeat = w.has_ties(0);  // identical rows tie in the first objective
    for (int64_t s = start; s < w.N; ++s) {
        const int32_t p = w.lex[s];
        const bool repeat = rows_may_repeat && s > 0 && w.same_row(p, w.lex[s - 1]);
        const int64_t f = repeat ? front[w.lex[s - 1]] : first_of_run(s, p, n_fronts);
        VQ_ASSERT(f >= 0 && f <= n_fronts);
        n_fronts = std::max(n_fronts, f + 1);
        placed(s, f);
        front[p] = f;
    }
    return n_fronts;
}

// A method that takes over from another part-way (fronts_three_table running out of rows) is
// told the placements of lexicographic positions 0 .. start-1, whose fronts are in front_id:
// opened(s, f) for each front as it opens, then joined(s, p, f, repeat) for each position, repeat
// telling a row identical to the previous one (which walk_lex places without first_of_run).
// Returns the number of fronts, for walk_lex to go on from `start`.
template <class Opened, class Joined>
int64_t replay_lex(const Work &w, int64_t start, Opened opened, Joined joined) {
    const int64_t *front = w.b->front_id;
    const bool rows_may_repeat = w.has_ties(0);
    int64_t n_fronts = 0;
    for (int64_t s = 0; s < start; ++s) {
        const int32_t p = w.lex[s];
        const int64_t f = front[p];
        VQ_ASSERT(f >= 0 && f <= n_fronts);
        if (f == n_fronts) opened(s, n_fronts++);
        joined(s, p, f, rows_may_repeat && s > 0 && w.same_row(p, w.lex[s - 1]));
    }
    return n_fronts;
}

// Fronts are counted instead of bisected between these numbers of fronts: there, independent
// comparisons beat a chain of dependent loads; below, the chain is short (measured; the rating
// case of bench/native/microbench.cpp at M = 2, `rating_s` at N = 64, 256 and 1024, where the
// populations have from a few to a few dozen fronts).
constexpr int64_t kCountFrontsMin = 9, kCountFrontsMax = 64;
inline bool count_fronts(int64_t n_fronts) { return n_fronts >= kCountFrontsMin && n_fronts <= kCountFrontsMax; }

// Two objectives: sweep in lexicographic order keeping, per front, the smallest second key of its
// members so far. Those minima rise with the front index, and an individual is dominated by a
// front exactly when that front's minimum is <= its own second key, so its front is the number
// of fronts whose minimum is <= that key: counted, or found by a branch-free binary search.
// O(N log N).
template <class Key, class KeyOf>
int64_t sweep_two(const Work &w, KeyOf second, Key *least) {
    auto first_of_run = [&](int64_t, int32_t p, int64_t n_fronts) {
        const Key k = second(p);
        int64_t f = 0;
        if (count_fronts(n_fronts)) {
            int32_t below = 0;
            for (int64_t g = 0; g < n_fronts; ++g) below += least[g] <= k;
            f = below;
        } else {
            for (int64_t len = n_fronts; len > 0;) {
                const int64_t half = len / 2;
                const bool below = least[f + half] <= k;
                f = below ? f + half + 1 : f;
                len = below ? len - half - 1 : half;
            }
        }
        // The minima stay ascending: front f - 1 holds a key <= k, front f (if open) only larger.
        VQ_ASSERT(f == 0 || least[f - 1] <= k);
        VQ_ASSERT(f == n_fronts || k < least[f]);
        least[f] = k;
        return f;
    };
    return walk_lex(w, first_of_run, [](int64_t, int64_t) {});
}

// The bitset sweep keeps its nonzero words in one summary word.
constexpr int64_t kSweepBitsMaxN = 64 * 64;

// The two-objective sweeps' record of an individual joining front f: its front, and its place in
// the front (the front's size so far), which the grouping and the crowding use (Work::placed).
class FrontJoin {
public:
    explicit FrontJoin(const Work &w) : front_(w.b->front_id), size_(w.fronts.size), place_(w.fronts.place) {
        std::fill(size_, size_ + w.N, 0);
        w.placed = true;
    }
    void operator()(int32_t p, int32_t f) const {
        front_[p] = f;
        place_[p] = static_cast<int32_t>(size_[f]++);
    }

private:
    int64_t *front_, *size_;
    int32_t *place_;
};

// Two objectives, no ties in the second (the usual case with noisy metrics): the second ranks
// are a permutation of 0 .. N-1 and no two rows are identical, so walk_lex has no runs to copy.
// While there are few fronts, their minima are compared with the individual's rank all at once
// (with SSE2; otherwise sweep_two's bisection, short there). From kCountFrontsMin fronts on, the
// minima (distinct ranks) are kept as a bitset instead: the fronts below an individual of rank k
// are those whose minimum is below k, so it joins the front of the next set bit above k (in the
// word of k or, through a summary of the nonzero words, in a later one) and becomes that front's
// minimum, or opens a new front when there is none. A step is then a few bit operations on one or
// two words and one look-up of the front of a minimum, whatever the number of fronts.
int64_t sweep_two_bits(const Work &w, const int32_t *rank) {
    const int64_t N = w.N, words = (N + 63) / 64;
    const FrontJoin join(w);
    int32_t least[kCountFrontsMin];  // per front, its least rank so far: ascending
    int32_t n_fronts = 0;
    int64_t s = 0;
#ifdef VQ_SSE2
    // The first eight fronts' minima in two vectors of four lanes, INT32_MAX in the lanes of fronts
    // not yet opened: the individual's front is the first lane above its rank (none: the ninth
    // front), whose minimum it becomes. A step is a few vector operations, and the minima's chain
    // from one step to the next is a comparison, a shift and a blend, not a chain of loads
    // (measured on table a's correlated populations, M = 2, whose 4 to 8 fronts never leave this
    // loop: the rating 2 to 5 % faster at N = 256 to 1,024; the kernel 3 % faster at N = 256).
    static_assert(kCountFrontsMin == 9, "eight fronts in two vectors, the ninth apart");
    __m128i low = _mm_set1_epi32(INT32_MAX), high = low;
    for (; s < N && n_fronts < kCountFrontsMin; ++s) {
        const int32_t p = w.lex[s], k = rank[p];
        const __m128i kk = _mm_set1_epi32(k);
        const __m128i above_low = _mm_cmpgt_epi32(low, kk), above_high = _mm_cmpgt_epi32(high, kk);
        const __m128i first_low = _mm_andnot_si128(_mm_slli_si128(above_low, 4), above_low);
        const __m128i first_high = _mm_andnot_si128(
            _mm_or_si128(_mm_slli_si128(above_high, 4), _mm_srli_si128(above_low, 12)), above_high);
        low = _mm_xor_si128(low, _mm_and_si128(_mm_xor_si128(low, kk), first_low));
        high = _mm_xor_si128(high, _mm_and_si128(_mm_xor_si128(high, kk), first_high));
        const int above = _mm_movemask_ps(_mm_castsi128_ps(above_low)) |
                          _mm_movemask_ps(_mm_castsi128_ps(above_high)) << 4;
        const int32_t f = ctz32(static_cast<unsigned>(above) | 0x100u);
        n_fronts += f == n_fronts;
        join(p, f);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(least), low);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(least + 4), high);
    if (n_fronts == kCountFrontsMin) least[8] = rank[w.lex[s - 1]];  // the last step opened the ninth
#else
    for (; s < N && n_fronts < kCountFrontsMin; ++s) {
        const int32_t p = w.lex[s], k = rank[p];
        int32_t f = 0;
        for (int32_t len = n_fronts; len > 0;) {
            const int32_t half = len / 2;
            const bool below = least[f + half] < k;
            f = below ? f + half + 1 : f;
            len = below ? len - half - 1 : half;
        }
        least[f] = k;
        n_fronts += f == n_fronts;
        join(p, f);
    }
#endif
    uint64_t *bits = w.fronts.least_bits;
    int32_t *front_of = w.fronts.front_of_least;  // per rank: the front it is the minimum of, while its bit is set
    std::fill(bits, bits + words, 0);
    uint64_t nonzero = 0;  // bit v: bits[v] != 0
    front_of[0] = 0;  // read, and not used, when no next set bit is found
    for (int32_t f = 0; f < n_fronts; ++f) {
        bits[least[f] >> 6] |= uint64_t{1} << (least[f] & 63);
        nonzero |= uint64_t{1} << (least[f] >> 6);
        front_of[least[f]] = f;
    }
    for (; s < N; ++s) {
        const int32_t p = w.lex[s], k = rank[p];
        const int64_t wk = k >> 6;
        const uint64_t word = bits[wk], own = word & (~uint64_t{1} << (k & 63));
        if (own) {
            // The usual step: the next set bit lies in k's own word, which trades that bit for
            // k's in one store and stays nonzero. Its next read waits for one store, not for the
            // two updates below (measured with the rating of a uniform population, M = 2: 9 %
            // faster at N = 256 and 512, 3 to 4 % at 1,024 and 4,096).
            const int32_t f = front_of[wk * 64 + ctz64(own)];
            bits[wk] = (word ^ (own & (0 - own))) | uint64_t{1} << (k & 63);
            front_of[k] = f;
            join(p, f);
            continue;
        }
        const uint64_t later = nonzero & (~uint64_t{1} << wk);
        // The word that holds the next set bit, and its bits from there on. The compiler makes
        // branches of these conditions; written with masks instead, the kernel was 4 % slower at
        // N = 256 (bench/compare_kernels.py): predicted, the branches let the loads start early.
        const int64_t wn = later ? ctz64(later) : wk;
        const uint64_t from = wn == wk ? 0 : bits[wn];
        const bool found = from != 0;
        const int64_t next = wn * 64 + ctz64(from | uint64_t{1} << 63);
        const int32_t f = found ? front_of[found ? next : 0] : n_fronts;  // a load either way, no branch
        n_fronts += !found;
        bits[wn] &= ~(from & (0 - from));  // the old minimum leaves (nothing when none was found)
        nonzero &= ~(uint64_t{bits[wn] == 0} << wn);
        bits[wk] |= uint64_t{1} << (k & 63);
        nonzero |= uint64_t{1} << wk;
        front_of[k] = f;
        join(p, f);
    }
    return n_fronts;
}

// Per rank k below 128 and word j of a two-word bitset: the bits above k (`above`) and bit k
// itself (`own`), half a cache line per rank.
struct RankMasks {
    uint64_t above[2], own[2];
};
struct RankMaskTable {
    RankMasks of[128];
};
constexpr RankMaskTable make_rank_masks() {
    RankMaskTable t{};
    for (int k = 0; k < 128; ++k)
        for (int j = 0; j < 2; ++j) {
            t.of[k].above[j] = j > k / 64 ? ~uint64_t{0} : j == k / 64 ? ~uint64_t{1} << (k % 64) : 0;
            t.of[k].own[j] = j == k / 64 ? uint64_t{1} << (k % 64) : 0;
        }
    return t;
}
alignas(64) constexpr RankMaskTable kRankMasks = make_rank_masks();

// sweep_two_bits for N <= 64 W, W <= 2, with the bitset in registers and without the bisection
// of the first fronts: the minimum to replace is the least set bit above k in the W words (the
// first word that has one, its lowest bit), chosen and cleared with masks, not branches, which
// fresh populations mispredict. Each word costs a few instructions per individual, more than
// sweep_two_bits's word of k and summary from four words on (measured with
// bench/compare_kernels.py at M = 2: the kernel 15 % faster at N = 64 and 10 % at N = 128; with
// four words, no faster at N = 256).
template <int W>
int64_t sweep_two_words(const Work &w, const int32_t *rank) {
    static_assert(W >= 1 && W <= 2, "the mask table covers two words");
    const FrontJoin join(w);
    int32_t *front_of = w.fronts.front_of_least;  // per rank: the front it is the minimum of, while its bit is set
    uint64_t bits[W] = {};
    int32_t n_fronts = 0;
    front_of[0] = 0;  // read, and not used, when no set bit lies above k
    for (int64_t s = 0; s < w.N; ++s) {
        const int32_t p = w.lex[s], k = rank[p];
        const RankMasks &mask = kRankMasks.of[k];
        uint64_t from[W];
        for (int j = 0; j < W; ++j) from[j] = bits[j] & mask.above[j];
        uint64_t first = from[W - 1], word = W - 1;
        for (int j = W - 2; j >= 0; --j) {
            const uint64_t here = 0 - uint64_t{from[j] != 0};
            first = from[j] | (first & ~here);
            word = (uint64_t(j) & here) | (word & ~here);
        }
        const uint32_t found = first != 0, none = found - 1;  // none: all ones when no bit was found
        const uint32_t next = uint32_t(64 * word + ctz64(first | uint64_t{1} << 63)) & ~none;
        const int32_t f = int32_t((uint32_t(front_of[next]) & ~none) | (uint32_t(n_fronts) & none));
        const uint64_t least = first & (0 - first);  // zero when no bit was found
        for (int j = 0; j < W; ++j)
            bits[j] = (bits[j] & ~(least & (0 - uint64_t{word == uint64_t(j)}))) | mask.own[j];
        n_fronts += int32_t(1 - found);
        front_of[k] = f;
        join(p, f);
    }
    return n_fronts;
}

// With the second objective's sorted order at hand, its keys are replaced by 32-bit ranks (the
// first sorted position of each run of ties; without ties, the position; written with the sorted
// order, rating.cpp), which compare the same way and more cheaply.
int64_t fronts_two(const Work &w) {
    if (!w.col) return sweep_two(w, [&w](int32_t p) { return w.key(p, 1); }, w.fronts.least_key);
    const int32_t *rank = w.fronts.second_rank;
    const bool tied = w.has_ties(1);
    if (!tied && w.N <= 64) return sweep_two_words<1>(w, rank);
    if (!tied && w.N <= 128) return sweep_two_words<2>(w, rank);
    if (!tied && w.N <= kSweepBitsMaxN) return sweep_two_bits(w, rank);
    return sweep_two(w, [rank](int32_t p) { return rank[p]; }, w.fronts.least_rank);
}

// Places in the second objective's sorted order for fronts_three and fronts_three_table, computed
// once before either runs (the third ranks, like the second ones of fronts_two, come with the
// sorted columns, rating.cpp): per individual, its place there and the last place of its run of
// ties; per place, the third rank.
void three_ranks(const Work &w) {
    const int64_t N = w.N;
    int32_t *second_pos = w.fronts.second_pos, *second_end = w.fronts.second_end;
    const int32_t *third_rank = w.fronts.third_rank;
    int32_t *third_at = w.fronts.third_at;
    const int32_t *by_second = w.col + N;
    const bool tied = w.has_ties(1);
    for (int64_t j = N - 1, end = N - 1; j >= 0; --j) {
        const int32_t i = by_second[j];
        if (!tied || (j + 1 < N && w.key(i, 1) != w.key(by_second[j + 1], 1))) end = j;
        second_pos[i] = static_cast<int32_t>(j);
        second_end[i] = static_cast<int32_t>(end);
        third_at[j] = third_rank[i];
    }
}

// fronts_three_table: individuals it takes at least and at most, log2 of the least places per
// block, and the most fronts it keeps (beyond, it hands over: a bound on the work lost to chains
// of fronts). Up to 64 individuals the bitsets' one-word rows are as fast on populations with
// few fronts and faster with many (from Python, N = 64, three objectives that follow one factor:
// 3.4 against 4.4 us with 27 to 37 fronts).
constexpr int64_t kTableMinN = 65, kTableMaxN = 64 * 64, kMinBlockShift = 4, kTableMaxRows = 256;
// kBeforeZero[kMaskRamp + i] is INT16_MAX for i < 0 (a rank or'ed with it gives INT16_MAX, above
// every rank) and 0 from i = 0 on (the rank itself): masks for the entries from a given one on.
constexpr int64_t kMaskRamp = 256;
static_assert(kTableMaxN <= INT16_MAX, "ranks fit the 16-bit tables of fronts_three_table");
static_assert(kTableMaxN >> kMinBlockShift <= kMaskRamp, "a row's block masks lie in the ramp");
constexpr struct Ramp {
    int16_t v[2 * kMaskRamp];
    constexpr Ramp() : v() {
        for (int64_t i = 0; i < kMaskRamp; ++i) v[i] = INT16_MAX;
    }
} kRamp;
constexpr const int16_t *kBeforeZero = kRamp.v;

// entries[c] = min(entries[c], k | mask[c]) for c < n, a multiple of kLanes. Written out with SSE2
// where there is, as the compiler leaves one block's update (fully unrolled) scalar.
constexpr int64_t kLanes = 8;
inline void lower(int16_t *entries, const int16_t *mask, int16_t k, int64_t n) {
#ifdef VQ_SSE2
    const __m128i low = _mm_set1_epi16(k);
    for (int64_t c = 0; c < n; c += kLanes) {
        auto *at = reinterpret_cast<__m128i *>(entries + c);
        const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i *>(mask + c));
        _mm_storeu_si128(at, _mm_min_epi16(_mm_loadu_si128(at), _mm_or_si128(low, m)));
    }
#else
    for (int64_t c = 0; c < n; ++c) entries[c] = std::min(entries[c], static_cast<int16_t>(k | mask[c]));
#endif
}

// Three objectives, up to kTableMaxN individuals: as fronts_three, but each front keeps, per
// place x of the second objective's sorted order, the least third rank among its members placed
// at or before x, split in two 16-bit tables: per block of places (a power of two near sqrt(N),
// at least 16), the least over the earlier blocks, and per place, the least over its own block up
// to it. An individual is dominated by a front when the lesser of the two entries at the end of
// its run of ties is <= its third rank: two loads, no branch, so its front is counted over the
// fronts, and a member that joins lowers one row of block entries and one block, both of fixed
// length. When the rows (room and kTableMaxRows) run out before the fronts do, returns -1 - s,
// s the lexicographic position up to which (exclusive) the fronts found stand.
int64_t fronts_three_table(const Work &w) {
    int shift = kMinBlockShift;
    while (int64_t{1} << (2 * shift) < w.N) ++shift;
    const int64_t block = int64_t{1} << shift;
    // Block entries in whole vectors of kLanes: the update below always takes whole ones.
    const int64_t blocks = (w.N + block - 1) >> shift, row_blocks = (blocks + kLanes - 1) & ~(kLanes - 1);
    const int64_t len = row_blocks + blocks * block;
    const int64_t rows = std::min(w.bit_words * int64_t{sizeof(uint64_t) / sizeof(int16_t)} / len, kTableMaxRows);
    const int32_t *second_pos = w.fronts.second_pos, *second_end = w.fronts.second_end;
    const int32_t *third_rank = w.fronts.third_rank;
    constexpr int16_t kNone = INT16_MAX;  // above every rank
    int16_t *table = reinterpret_cast<int16_t *>(w.bits);
    bool full = false;
    int64_t stop = 0;
    auto first_of_run = [&](int64_t s, int32_t p, int64_t n_fronts) -> int64_t {
        if (full) return int64_t{0};  // the rest is walked through for nothing
        const int16_t k = static_cast<int16_t>(third_rank[p]);
        const int64_t end = second_end[p];
        const int16_t *before = table + (end >> shift), *upto = table + row_blocks + end;
        auto dominates = [&](int64_t g) { return std::min(before[g * len], upto[g * len]) <= k; };
        int64_t f = 0;
        if (n_fronts <= kCountFrontsMax) {
            int32_t hits = 0;
            for (int64_t g = 0; g < n_fronts; ++g) hits += dominates(g);
            f = hits;
        } else {
            for (int64_t n = n_fronts; n > 0;) {
                const int64_t half = n / 2;
                const bool hit = dominates(f + half);
                f = hit ? f + half + 1 : f;
                n = hit ? n - half - 1 : half;
            }
        }
        if (f == n_fronts) {
            full = f == rows;
            if (full) {
                stop = s;
                return int64_t{0};
            }
            std::fill(table + f * len, table + (f + 1) * len, kNone);
        }
        // The entries from place x (block bx + 1 on, places x on in block bx) become at most k:
        // over whole rows, with masks read from kBeforeZero (a condition on the loop index would
        // be split into two loops whose lengths vary, hard to predict).
        int16_t *row = table + f * len;
        const int64_t x = second_pos[p], bx = x >> shift;
        lower(row, kBeforeZero + kMaskRamp - 1 - bx, k, row_blocks);
        lower(row + row_blocks + bx * block, kBeforeZero + kMaskRamp - (x & (block - 1)), k, block);
        return f;
    };
    const int64_t n_fronts = walk_lex(w, first_of_run, [](int64_t, int64_t) {});
    return full ? -1 - stop : n_fronts;
}

// Three objectives: in lexicographic order, an earlier individual dominates p exactly when it is
// <= p in the second and third objectives. Each front keeps the staircase of its members so far
// in those two: the members that no other member is <= in both, as a set of positions in the
// second objective's sorted order, along which their third ranks fall strictly. The least third
// rank among the members whose second key is <= p's is then that of the last staircase position
// up to the end of p's run of ties there: one predecessor search. A set is a bit row with one
// summary bit per nonzero word (and, past 64 * 64 positions, one top word over the summaries),
// so a search or an update is a few word operations. As with the bitsets, p's front is the first
// front that does not dominate it: a binary search. A member that joins a front drops the later
// staircase positions whose third rank is not below its own (they fall after it, and whoever
// they would dominate it dominates too). O(N log F) searches, O(N) updates. (Measured no faster
// on the benchmark populations: the searches forced free of branches, the drops deferred to the
// next individual or made free of branches, and per-front prefix minima in Fenwick trees.)
// The searches and drops branch on the data: on a population rated over and over the branches
// are learnt, on populations drawn afresh, as the kernels rate them, they are not (from Python,
// fresh M = 3 populations: 22.8 us against the bitsets' 13.0 at N = 256, 48.0 against 31.6 at
// N = 512). Up to kTableMaxN individuals fronts_three_table, without those branches, takes
// their place (from Python, bench/compare_builds.py, M = 3, 101 rounds, against the bitsets:
// fresh populations 4.50 against 4.55 us at N = 64, 12.6 against 13.7 at N = 256, 27.2 against
// 35.5 at N = 512; table a's uniform ones 3.17 against 3.18, 10.3 against 11.6, 22.5 against
// 30.7; correlated ones 3.43 against 3.55, 10.3 against 11.3, 20.6 against 25.8; and against
// these staircases, 21 rounds, fresh: 36.6 against 71.2 us at N = 640, 63.8 against 117.6 at
// 1024, 369 against 530 at 4096). When its rows run out it hands over to the bitsets (up to 512
// individuals) or to these staircases, which go on from where it stopped (replay_lex): with more
// fronts than it keeps, the time it spent until then is lost (from Python, three objectives that
// follow one factor closely, against the bitsets or staircases alone: 14.9 against 13.0 us for a
// chain of 256 fronts at N = 256, 80 against 74 us with 360 fronts at N = 1024, 475 against 405 us
// with 677 fronts and 583 against 497 us with 290 fronts at N = 4096; with 47 to 195 fronts it is
// 6 to 22 % faster).
template <bool kTop>
int64_t fronts_three(const Work &w, int64_t start) {
    const int64_t N = w.N, words = (N + 63) / 64, summaries = (words + 63) / 64;
    const int64_t stride = words + summaries + (kTop ? 1 : 0);  // one front's row, summaries, top
    const int32_t *second_pos = w.fronts.second_pos, *second_end = w.fronts.second_end;
    const int32_t *third_rank = w.fronts.third_rank, *third_at = w.fronts.third_at;
    uint64_t *sets = w.bits;
    // The last nonzero word of `set` before word v, or -1.
    auto word_before = [&](const uint64_t *set, int64_t v) -> int64_t {
        const uint64_t *summary = set + words;
        const uint64_t here = summary[v >> 6] & ((uint64_t{1} << (v & 63)) - 1);
        if (here || !kTop) return here ? (v & ~int64_t{63}) + 63 - clz64(here) : -1;
        const uint64_t top = summary[summaries] & ((uint64_t{1} << (v >> 6)) - 1);
        if (!top) return -1;
        const int64_t u = 63 - clz64(top);
        return u * 64 + 63 - clz64(summary[u]);
    };
    // The first nonzero word of `set` after word v, or -1.
    auto word_after = [&](const uint64_t *set, int64_t v) -> int64_t {
        const uint64_t *summary = set + words;
        const uint64_t here = summary[v >> 6] & (~uint64_t{1} << (v & 63));
        if (here || !kTop) return here ? (v & ~int64_t{63}) + ctz64(here) : -1;
        const uint64_t top = summary[summaries] & (~uint64_t{1} << (v >> 6));
        if (!top) return -1;
        const int64_t u = ctz64(top);
        return u * 64 + ctz64(summary[u]);
    };
    // Whether a member of front g is <= p in the second and third objectives.
    auto dominates = [&](int64_t g, int32_t p) {
        const uint64_t *set = sets + g * stride;
        const int64_t x = second_end[p], wx = x >> 6;
        const uint64_t here = set[wx] & (~uint64_t{0} >> (63 - (x & 63)));
        if (kTop) {
            const int64_t wb = here ? wx : word_before(set, wx);
            if (wb < 0) return false;
            return third_at[wb * 64 + 63 - clz64(here ? here : set[wb])] <= third_rank[p];
        }
        // One summary word: the last position lies in the word of x or, found through the
        // summary, in the last nonzero word before it.
        const uint64_t before = set[words] & ((uint64_t{1} << wx) - 1);
        const int64_t wb = 63 - clz64(before | 1);
        const int64_t wq = here ? wx : wb;
        const uint64_t word = here ? here : set[wb];
        const int64_t q = wq * 64 + 63 - clz64(word | 1);
        return (here | before) != 0 && third_at[q] <= third_rank[p];
    };
    auto open = [&](int64_t f) { std::fill(sets + f * stride, sets + (f + 1) * stride, 0); };
    // p joins front f: the staircase positions after it whose third rank is not below p's leave,
    // word by word, each word kept in a register while its positions are tested.
    auto join = [&](int32_t p, int64_t f) {
        uint64_t *set = sets + f * stride, *summary = set + words;
        const int64_t x = second_pos[p];
        const int32_t k = third_rank[p];
        int64_t v = x >> 6;
        uint64_t word = set[v] | uint64_t{1} << (x & 63), after = word & (~uint64_t{1} << (x & 63));
        auto drop = [&] {
            for (; after && third_at[v * 64 + ctz64(after)] >= k; after &= after - 1)
                word &= ~(after & (0 - after));
            set[v] = word;
        };
        drop();
        summary[v >> 6] |= uint64_t{1} << (v & 63);
        if (kTop) summary[summaries] |= uint64_t{1} << (v >> 6);
        while (!after && (v = word_after(set, v)) >= 0) {  // the word's later positions all left
            word = after = set[v];
            drop();
            if (word) continue;
            summary[v >> 6] &= ~(uint64_t{1} << (v & 63));
            if (kTop && !summary[v >> 6]) summary[summaries] &= ~(uint64_t{1} << (v >> 6));
        }
    };
    auto first_of_run = [&](int64_t, int32_t p, int64_t n_fronts) {
        int64_t f = 0;
        for (int64_t len = n_fronts; len > 0;) {
            const int64_t half = len / 2, mid = f + half;
            const bool hit = dominates(mid, p);
            f = hit ? mid + 1 : f;
            len = hit ? len - half - 1 : half;
        }
        VQ_ASSERT(f == 0 || dominates(f - 1, p));
        VQ_ASSERT(f == n_fronts || !dominates(f, p));
        if (f == n_fronts) open(f);
        join(p, f);
        return f;
    };
    const int64_t n_fronts = replay_lex(
        w, start, [&](int64_t, int64_t f) { open(f); },
        [&](int64_t, int32_t p, int64_t f, bool repeat) {
            if (!repeat) join(p, f);
        });
    return walk_lex(w, first_of_run, [](int64_t, int64_t) {}, start, n_fronts);
}

// Earlier row q (lexicographically) is <= row p in every objective: the first one holds already.
inline bool weakly_before(const Work &w, int32_t q, int32_t p) {
    const double *a = w.b->R + q * w.M, *c = w.b->R + p * w.M;
    for (int64_t m = 1; m < w.M; ++m)
        if (load_key(a + m) > load_key(c + m)) return false;
    return true;
}

// Three or more objectives, few individuals: compare each individual with the earlier rows,
// skipping those whose front cannot raise the maximum found so far, and stopping once it reaches
// the last front opened. O(N^2 M) at worst.
int64_t fronts_pairwise(const Work &w) {
    const int64_t *front = w.b->front_id;
    auto first_of_run = [&](int64_t s, int32_t p, int64_t n_fronts) {
        int64_t best = -1;  // highest front among the dominators found
        for (int64_t t = s - 1; t >= 0 && best + 1 < n_fronts; --t) {
            const int32_t q = w.lex[t];
            if (front[q] > best && weakly_before(w, q, p)) best = front[q];
        }
        return best + 1;
    };
    return walk_lex(w, first_of_run, [](int64_t, int64_t) {});
}

// Whether two bit rows share a bit among words [from, to); four words per step.
inline bool meet(const uint64_t *a, const uint64_t *c, int64_t from, int64_t to) {
    int64_t k = from;
    for (; k + 4 <= to; k += 4)
        if ((a[k] & c[k]) | (a[k + 1] & c[k + 1]) | (a[k + 2] & c[k + 2]) | (a[k + 3] & c[k + 3])) return true;
    for (; k < to; ++k)
        if (a[k] & c[k]) return true;
    return false;
}

// Whether two bit rows of `words` words share a bit, without early exit: for short rows, where a
// data-dependent exit or range costs more than it saves.
inline bool meet_all(const uint64_t *a, const uint64_t *c, int64_t words) {
    uint64_t any = 0;
    for (int64_t k = 0; k < words; ++k) any |= a[k] & c[k];
    return any != 0;
}

// Rows of at most this many words are handled whole, with fixed trip counts.
constexpr int64_t kShortRow = 8;
// Short rows count the fronts met over a multiple of this many member rows.
constexpr int64_t kFrontRowsPad = 4;
static_assert((kFrontRowsPad & (kFrontRowsPad - 1)) == 0, "the padding rounds with a mask");
static_assert(kShortRow == 8, "assign_fronts instantiates the bitset sweep per short row length");

// Four or more objectives, and three when fronts_three_table runs out of rows or past the reach of
// fronts_three, bit-parallel. Bit t stands for the individual at lexicographic position t. The
// dominators of position s lie among positions < s (the first objective holds for all of them); for
// each further objective m, walking the (key m, index) order one run of ties at a time, the set of
// individuals <= the current key is intersected into each run member's set. Fronts are then
// assigned in lexicographic order: an individual dominated by a member of front f is also dominated
// by one of front f - 1, so its front is the first f whose member set misses its dominator set: the
// number of fronts met (short rows) or a binary search. O(N^2 M / 64) word operations to build the
// sets, O(N log F * N / 64) to assign F fronts. kWords, when not 0, is the row length known at
// compile time (short rows), which lets the word loops be unrolled.
template <int64_t kWords>
int64_t fronts_bitsets(const Work &w, int64_t start) {
    const int64_t N = w.N, words = kWords ? kWords : (N + 63) / 64;
    const bool short_rows = words <= kShortRow;
    int32_t *pos = w.fronts.lex_pos;
    uint64_t *dom = w.bits;  // N rows of `words`
    uint64_t *members = dom + N * words;  // one row per front
    uint64_t *upto = members + N * words;  // one row
    for (int64_t s = 0; s < N; ++s) {
        pos[w.lex[s]] = static_cast<int32_t>(s);
        uint64_t *row = dom + s * words;
        const int64_t full = s / 64;
        std::fill(row, row + full, ~uint64_t{0});
        if (s % 64) row[full] = (uint64_t{1} << (s % 64)) - 1;
        // Words past the last one written are never meaningful: short rows are compared whole,
        // but the members of any front hold only positions < s when row s is compared.
    }
    auto narrow = [&](int64_t s) {  // row s &= upto
        uint64_t *row = dom + s * words;
        const int64_t n = short_rows ? words : (s + 63) / 64;
        for (int64_t k2 = 0; k2 < n; ++k2) row[k2] &= upto[k2];
    };
    for (int64_t m = 1; m < w.M; ++m) {
        const int32_t *by_m = w.col + m * N;
        std::fill(upto, upto + words, 0);
        if (!w.has_ties(m)) {  // every run of ties is one individual
            for (int64_t j = 0; j < N; ++j) {
                const int64_t s = pos[by_m[j]];
                upto[s / 64] |= uint64_t{1} << (s % 64);
                narrow(s);
            }
            continue;
        }
        for (int64_t a = 0; a < N;) {
            const uint64_t k = w.key(by_m[a], m);
            int64_t e = a;
            for (; e < N && w.key(by_m[e], m) == k; ++e)
                upto[pos[by_m[e]] / 64] |= uint64_t{1} << (pos[by_m[e]] % 64);
            for (int64_t j = a; j < e; ++j) narrow(pos[by_m[j]]);
            a = e;
        }
    }
    // Each front's members occupy positions first[f] .. last[f]; only those words are compared.
    // Short rows count the fronts met (all independent) up to kCountFrontsMax fronts, over the
    // member rows rounded up to a multiple of kFrontRowsPad, the rows past the last front kept
    // empty: a trip count that changes every few fronts is predicted, an exact one often missed
    // (measured; the rating case of bench/native/microbench.cpp at M = 3, `rating_s` at N = 64 and
    // N = 256, both with short rows).
    int64_t *first = w.fronts.first, *last = w.fronts.last;
    const int64_t padded_rows = std::min(N, kCountFrontsMax);
    if (short_rows) std::fill(members, members + padded_rows * words, 0);
    auto open = [&](int64_t s, int64_t f) {
        std::fill(members + f * words, members + (f + 1) * words, 0);
        first[f] = s;
    };
    auto first_of_run = [&](int64_t s, int32_t, int64_t n_fronts) {
        const uint64_t *row = dom + s * words;
        int64_t f = 0;
        if (short_rows && n_fronts <= kCountFrontsMax) {
            const int64_t end = std::min((n_fronts + kFrontRowsPad - 1) & ~(kFrontRowsPad - 1), padded_rows);
            int32_t hits = 0;
            for (int64_t g = 0; g < end; ++g) hits += meet_all(row, members + g * words, words);
            f = hits;
        } else {
            for (int64_t len = n_fronts; len > 0;) {
                const int64_t half = len / 2, mid = f + half;
                const bool hit = short_rows ? meet_all(row, members + mid * words, words)
                                            : meet(row, members + mid * words, first[mid] / 64,
                                                   std::min(last[mid], s - 1) / 64 + 1);
                f = hit ? mid + 1 : f;
                len = hit ? len - half - 1 : half;
            }
        }
        if (f == n_fronts) open(s, f);
        return f;
    };
    auto placed = [&](int64_t s, int64_t f) {
        members[f * words + s / 64] |= uint64_t{1} << (s % 64);
        last[f] = s;
    };
    const int64_t n_fronts = replay_lex(w, start, open,
                                        [&](int64_t s, int32_t, int64_t f, bool) { placed(s, f); });
    return walk_lex(w, first_of_run, placed, start, n_fronts);
}

}  // namespace

int64_t assign_fronts(const Work &w) {
    if (w.M == 0) return fronts_none(w);
    if (w.M == 1) return fronts_one(w);
    if (w.M == 2) return fronts_two(w);
    if (!w.bits) return fronts_pairwise(w);
    const int64_t words = (w.N + 63) / 64;
    const bool table = w.M == 3 && w.N >= kTableMinN && w.N <= kTableMaxN;
    const bool staircases = w.M == 3 && words > kShortRow && w.N <= 64 * 64 * 64;
    if (table || staircases) three_ranks(w);  // for both, when the tables hand over
    int64_t start = 0;  // lexicographic positions placed by the tables before they ran out of rows
    if (table) {
        const int64_t n_fronts = fronts_three_table(w);
        if (n_fronts >= 0) return n_fronts;
        start = -1 - n_fronts;
    }
    if (staircases) return words <= 64 ? fronts_three<false>(w, start) : fronts_three<true>(w, start);
    switch (words) {
    case 1: return fronts_bitsets<1>(w, start);
    case 2: return fronts_bitsets<2>(w, start);
    case 3: return fronts_bitsets<3>(w, start);
    case 4: return fronts_bitsets<4>(w, start);
    case 5: return fronts_bitsets<5>(w, start);
    case 6: return fronts_bitsets<6>(w, start);
    case 7: return fronts_bitsets<7>(w, start);
    case 8: return fronts_bitsets<8>(w, start);
    default: return fronts_bitsets<0>(w, start);
    }
}

}  // namespace detail
}  // namespace rating
}  // namespace vq
