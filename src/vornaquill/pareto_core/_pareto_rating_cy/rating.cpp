// Rating of one population: keys (or average ranks), fronts, crowding, global order.
//
// Storage, all of it the caller's, reached through the named views of Work (the table in
// rating_detail.hpp), which plan_work sets once: R holds the key matrix (mode 0: order keys of X;
// mode 1: the average ranks, which are their own keys); `dom` is a byte arena for the
// per-objective sorted orders and, with three or more objectives, the dominance bitsets.
#include <algorithm>
#include <cmath>
#include <limits>

#include "rating_detail.hpp"

namespace vq {
namespace rating {
namespace detail {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Two doubles operated on lane by lane, each lane rounded as the scalar operation would be.
typedef double Double2 __attribute__((vector_size(16)));

// Smallest population for which the arena keeps the sorted orders, and for which the dominance
// bitsets replace pairwise comparisons (three or more objectives). Smaller populations take the
// plain methods, which need no set-up.
constexpr int64_t kArenaMinN = 32;
constexpr int64_t kBitsetMinN = 32;

// Smallest column sorted by buckets: from here on, one counting pass and an insertion pass beat a
// comparison sort, whose branches fresh populations mispredict (measured with
// bench/compare_builds.py: 10 to 22 % faster at N = 16 and 24, 4 to 6 % slower at N = 8).
constexpr int64_t kBucketSortMinN = 16;
// The insertion pass after the bucket pass gives up after moving records this many places per
// record in all (values so skewed that many crowd into one bucket), and a comparison sort
// takes over.
constexpr int64_t kBucketInsertionBudget = 2;

// Sorts column m of X into pairs by (order key, index). When the column's finite values spread
// out, one counting pass does most of it: a value's bucket is its place between the finite
// extremes, scaled to 4 N buckets (2 N from N = 2^16 on), with -inf in the first bucket
// and +inf and NaN in the last, so that the buckets follow the key order; an insertion pass then
// sorts within the buckets (values so skewed that it gives up are sorted by comparisons). Fewer
// than kBucketSortMinN records or no finite spread go to IndexOrderSort (a comparison sort below
// kRadixMinN records, else the radix sort). Result in w.column.sorted; scratch: the rest of w.column.
void sort_column(const Work &w, int64_t m) {
    const Buffers &b = *w.b;
    const int64_t N = w.N, M = w.M;
    auto value = [&b, m, M](int64_t i) { return b.X[i * M + m]; };
    Pair *sorted = w.column.sorted, *spare = w.column.spare;
    if (N >= kBucketSortMinN) {
        // The finite extremes. First those of the values that are not NaN (a NaN fails every
        // comparison), which are the finite ones unless an infinity turns up: four values at a
        // time into two pairs of lanes, so that the chains of comparisons, which bound this loop,
        // are four times shorter. Only when an infinity turns up are the values tested for being
        // finite, even and odd rows apart. Which of two equal extremes (0.0 and -0.0) wins
        // changes no bucket.
        double lo0 = kInf, lo1 = kInf, hi0 = -kInf, hi1 = -kInf;
        int64_t i = 0;
#ifdef VQ_SSE2
        {
            __m128d lo_a = _mm_set1_pd(kInf), lo_b = lo_a, hi_a = _mm_set1_pd(-kInf), hi_b = hi_a;
            for (; i + 4 <= N; i += 4) {
                const __m128d a = _mm_set_pd(value(i + 1), value(i)), c = _mm_set_pd(value(i + 3), value(i + 2));
                lo_a = _mm_min_pd(a, lo_a);  // the second operand when either is NaN
                hi_a = _mm_max_pd(a, hi_a);
                lo_b = _mm_min_pd(c, lo_b);
                hi_b = _mm_max_pd(c, hi_b);
            }
            lo_a = _mm_min_pd(lo_a, lo_b);
            hi_a = _mm_max_pd(hi_a, hi_b);
            lo0 = _mm_cvtsd_f64(lo_a);
            lo1 = _mm_cvtsd_f64(_mm_unpackhi_pd(lo_a, lo_a));
            hi0 = _mm_cvtsd_f64(hi_a);
            hi1 = _mm_cvtsd_f64(_mm_unpackhi_pd(hi_a, hi_a));
        }
#endif
        for (; i < N; ++i) {
            lo0 = value(i) < lo0 ? value(i) : lo0;
            hi0 = value(i) > hi0 ? value(i) : hi0;
        }
        if (std::min(lo0, lo1) == -kInf || std::max(hi0, hi1) == kInf) {
            lo0 = lo1 = kInf;
            hi0 = hi1 = -kInf;
            auto extend = [](double v, double &lo, double &hi) {
                const bool finite = std::fabs(v) < kInf;
                lo = finite && v < lo ? v : lo;
                hi = finite && v > hi ? v : hi;
            };
            for (i = 0; i + 1 < N; i += 2) {
                extend(value(i), lo0, hi0);
                extend(value(i + 1), lo1, hi1);
            }
            if (N % 2) extend(value(N - 1), lo0, hi0);
        }
        const int64_t nb = buckets_per_record(N) * N;
        const double lo = std::min(lo0, lo1), span = std::max(hi0, hi1) - lo;
        const double scale = static_cast<double>(nb) / span;
        if (span > 0.0 && span < kInf && scale < kInf) {
            uint32_t *ids = w.column.bucket;
            int32_t *const(&count)[2] = w.column.bucket_count;
            const double top = static_cast<double>(nb - 1);
            i = 0;
#ifdef VQ_SSE2
            // Two values at a time, the same bucket and key as the scalar loop below: min with
            // top first sends NaN there (minpd returns its second operand then), max with 0 sends
            // -inf and the values below lo to bucket 0.
            const __m128d lo2 = _mm_set1_pd(lo), scale2 = _mm_set1_pd(scale), top2 = _mm_set1_pd(top);
            for (; i + 2 <= N; i += 2) {
                const __m128d v = _mm_set_pd(value(i + 1), value(i));
                const __m128d t = _mm_max_pd(_mm_min_pd(_mm_mul_pd(_mm_sub_pd(v, lo2), scale2), top2),
                                             _mm_setzero_pd());
                const __m128i id = _mm_cvttpd_epi32(t);
                _mm_storel_epi64(reinterpret_cast<__m128i *>(ids + i), id);
                store_two_records(spare, i, order_keys(v));
            }
#endif
            for (; i < N; ++i) {
                const double v = value(i), t = (v - lo) * scale;
                ids[i] = !(t < top) ? static_cast<uint32_t>(nb - 1) : t > 0.0 ? static_cast<uint32_t>(t) : 0u;
                store_key(&spare[i].val, order_key(v));
                spare[i].idx = static_cast<int32_t>(i);
            }
            with_bucket_tables(count, N, [&](auto *const(&c)[2]) {
                std::fill(c[0], c[0] + nb, 0);
                for (int64_t j = 0; j < N; ++j) ++c[0][ids[j]];
                scatter_by_bucket(spare, ids, N, nb, c, false, sorted);
            });
            if (!insertion_by_key(sorted, N, kBucketInsertionBudget * N)) sort_pairs(sorted, N);
            return;
        }
    }
    IndexOrderSort sorter(sorted, N, spare);
    for (int64_t i = 0; i < N; ++i) sorter.put(i, order_key(value(i)), static_cast<int32_t>(i));
    sorter.sort();
}

// Fills R and, when the arena holds them, the per-objective sorted orders, and notes which
// sorted columns hold ties (w->tied).
// Mode 0: R = order keys of X. Mode 1: R = average ranks; a run of ties at sorted positions
// p .. q gets (p + q) / 2. One sort per objective, O(M N log N).
void prepare_keys(Work *w, int mode_i) {
    const Buffers &b = *w->b;
    const int64_t N = w->N, M = w->M;
    const Pair *sorted = w->column.sorted;
    w->tied = ~uint64_t{0};
    if (mode_i == 0)
        for (int64_t k = 0; k < N * M; ++k) store_key(b.R + k, order_key(b.X[k]));
    if (mode_i == 0 && !w->col) return;
    for (int64_t m = 0; m < M; ++m) {
        sort_column(*w, m);
        int32_t *col = w->col ? w->col + m * N : nullptr;
        // With two or three objectives the fronts compare the last one's ranks (fronts.cpp),
        // written here once its column is sorted: the bucket ids of the column sort, which share
        // their storage, are no longer needed then.
        int32_t *rank = !col || m != M - 1 ? nullptr
                        : M == 2           ? w->fronts.second_rank
                        : M == 3           ? w->fronts.third_rank
                                           : nullptr;
        bool tied = false;
        int32_t start = 0;  // first sorted position of the current run of ties
        for (int64_t j = 0; j < N; ++j) {
            const int32_t i = sorted[j].idx;
            if (col) col[j] = i;
            if (mode_i == 1) b.R[i * M + m] = static_cast<double>(j);  // the rank when nothing ties
            const bool repeat = j > 0 && pair_key(sorted[j]) == pair_key(sorted[j - 1]);
            tied |= repeat;
            start = repeat ? start : static_cast<int32_t>(j);
            if (rank) rank[i] = start;
        }
        if (!tied && m < kTiedBits) w->tied &= ~(uint64_t{1} << m);
        if (mode_i == 0 || !tied) continue;
        for (int64_t p = 0; p < N;) {
            const uint64_t k = pair_key(sorted[p]);
            int64_t q = p;
            while (q + 1 < N && pair_key(sorted[q + 1]) == k) ++q;
            const double r = static_cast<double>(p + q) / 2.0;
            for (int64_t j = p; j <= q; ++j) b.R[sorted[j].idx * M + m] = r;
            p = q + 1;
        }
    }
}

bool lex_less(const Work &w, int32_t i, int32_t j) {
    const double *a = w.b->R + i * w.M, *c = w.b->R + j * w.M;
    for (int64_t m = 0; m < w.M; ++m) {
        const uint64_t ka = load_key(a + m), kc = load_key(c + m);
        if (ka != kc) return ka < kc;
    }
    return i < j;
}

// Lexicographic order of the key rows, index last. From the first objective's sorted order only
// runs of ties need sorting; otherwise one full sort.
void lexicographic_order(const Work &w) {
    const int64_t N = w.N;
    auto less = [&w](int32_t i, int32_t j) { return lex_less(w, i, j); };
    if (!w.col) {
        for (int64_t i = 0; i < N; ++i) w.lex[i] = static_cast<int32_t>(i);
        std::sort(w.lex, w.lex + N, less);
        return;
    }
    std::copy(w.col, w.col + N, w.lex);
    if (w.M == 1 || !w.has_ties(0)) return;
    for (int64_t a = 0; a < N;) {
        int64_t e = a + 1;
        while (e < N && w.key(w.lex[e], 0) == w.key(w.lex[a], 0)) ++e;
        if (e - a > 1) std::sort(w.lex + a, w.lex + e, less);
        a = e;
    }
}

// Members of each front, by index, as front_start/members: a counting sort by front. The sizes
// are counted in two halves into separate arrays (the first half straight into front_start) for
// the same reason as the two-ended distribution. With the sorted orders at hand the crowding
// fills the members itself, so only the starts are needed (with_members false); when the front
// sweep counted the sizes (Work::placed), they are only summed.
void group_fronts(const Work &w, int64_t n_fronts, bool with_members) {
    const int64_t N = w.N, *front = w.b->front_id;
    if (w.placed) {  // the sweep counted the sizes into front_start + 1
        VQ_ASSERT(!with_members);
        w.front_start[0] = 0;
        for (int64_t f = 0; f < n_fronts; ++f) w.front_start[f + 1] += w.front_start[f];
        VQ_ASSERT(w.front_start[n_fronts] == N);
        return;
    }
    int64_t *count_a = w.front_start, *count_b = w.groups.half_count;  // count_a[f + 1], count_b[f]
    std::fill(count_a, count_a + n_fronts + 1, 0);
    std::fill(count_b, count_b + n_fronts, 0);
    const int64_t h = N / 2;
    for (int64_t i = 0; i < h; ++i) {
        VQ_ASSERT(front[i] >= 0 && front[i] < n_fronts && front[h + i] >= 0 && front[h + i] < n_fronts);
        ++count_a[front[i] + 1];
        ++count_b[front[h + i]];
    }
    if (N % 2) ++count_a[front[N - 1] + 1];
    for (int64_t f = 0; f < n_fronts; ++f) w.front_start[f + 1] += w.front_start[f] + count_b[f];
    VQ_ASSERT(w.front_start[n_fronts] == N);
    if (!with_members) return;
    distribute(
        N, w.front_start, n_fronts, w.cursor_lo, w.cursor_hi, [front](int64_t i) { return front[i]; },
        [&w](int64_t slot, int64_t i) { w.members[slot] = i; });
}

// Puts each front's members in (key m, index) order: from the stored sorted order by one stable
// distribution pass, O(N); otherwise one sort per front.
void order_members(const Work &w, int64_t n_fronts, int64_t m) {
    const int64_t *front = w.b->front_id;
    if (w.col) {
        const int32_t *by_m = w.col + m * w.N;
        distribute(
            w.N, w.front_start, n_fronts, w.cursor_lo, w.cursor_hi,
            [front, by_m](int64_t j) { return front[by_m[j]]; },
            [&w, by_m](int64_t slot, int64_t j) { w.members[slot] = by_m[j]; });
        return;
    }
    Pair *sorted = w.crowding.sorted;
    for (int64_t f = 0; f < n_fronts; ++f) {
        const int64_t a = w.front_start[f], n = w.front_start[f + 1] - a;
        if (n <= 2) continue;
        for (int64_t j = 0; j < n; ++j) {
            const int64_t i = w.members[a + j];
            store_key(&sorted[j].val, w.key(i, m));
            sorted[j].idx = static_cast<int32_t>(i);
        }
        sort_pairs(sorted, n);
        for (int64_t j = 0; j < n; ++j) w.members[a + j] = sorted[j].idx;
    }
}

// Crowding with two objectives and no ties in the second: inside a front the members' first
// keys differ (equal first keys would make the smaller second key dominate) and the second keys
// fall as the first rise (otherwise one would dominate the other). So the (value, index) order of
// the second objective is the first one's reversed, and the first one's is the lexicographic
// order: the members go to the places the front sweep noted (Work::placed; otherwise one
// distribution of the first objective's order), and one pass per front adds both terms in the
// same order as below, with the same operands, so the scores are the same to the bit. (Placed by
// the sweep instead of distributed afterwards, measured with bench/compare_builds.py at M = 2:
// the rating 2 % faster on fresh populations at N = 64 to 2,048; 4 to 10 % on populations with
// few fronts at N = 256 and 512; from 4 % faster to 10 % slower on uniform ones.)
void crowding_two(const Work &w, int64_t n_fronts) {
    const Buffers &b = *w.b;
    const double *W = w.W;
    if (w.placed) {  // lexicographic order is the first objective's inside a front here
        for (int64_t i = 0; i < w.N; ++i) w.members[w.front_start[b.front_id[i]] + w.fronts.place[i]] = i;
    } else {
        order_members(w, n_fronts, 0);
    }
    const int64_t *list = w.members;
    for (int64_t f = 0; f < n_fronts; ++f) {
        const int64_t a = w.front_start[f], e = w.front_start[f + 1];
        b.within[list[a]] = kInf;
        b.within[list[e - 1]] = kInf;
        if (e - a <= 2) continue;
        const double range0 = W[list[e - 1] * 2] - W[list[a] * 2];
        const double range1 = W[list[a] * 2 + 1] - W[list[e - 1] * 2 + 1];
        const bool add0 = std::isfinite(range0) && range0 > 0.0, add1 = std::isfinite(range1) && range1 > 0.0;
        // Both terms in one vector division (the divisions bound this loop); a term left out adds
        // +0.0 instead, which changes no sum that starts at +0.0.
        const Double2 range = {range0, range1};
        for (int64_t j = a + 1; j + 1 < e; ++j) {
            const int64_t prev = list[j - 1], next = list[j + 1];
            const Double2 upper = {W[next * 2], W[prev * 2 + 1]}, lower = {W[prev * 2], W[next * 2 + 1]};
            const Double2 term = (upper - lower) / range;
            double score = 0.0;
            score += add0 ? term[0] : 0.0;
            score += add1 ? term[1] : 0.0;
            b.within[list[j]] = score;
        }
    }
}

// Crowding distance, objectives in order 0 .. M-1 so that every score is summed in that order.
// Per objective: members of each front in (value, index) order; the ends become +inf, and when
// the front's range is finite and positive each interior member adds (next - previous) / range.
// O(M N) on top of the orders.
void crowding(const Work &w, int64_t n_fronts) {
    const Buffers &b = *w.b;
    const int64_t M = w.M;
    if (M == 2 && w.col && !w.has_ties(1)) return crowding_two(w, n_fronts);
    for (int64_t i = 0; i < w.N; ++i) {
        const int64_t f = b.front_id[i];
        b.within[i] = w.front_start[f + 1] - w.front_start[f] <= 2 ? kInf : 0.0;
    }
    for (int64_t m = 0; m < M; ++m) {
        order_members(w, n_fronts, m);
        for (int64_t f = 0; f < n_fronts; ++f) {
            const int64_t a = w.front_start[f], e = w.front_start[f + 1];
            if (e - a <= 2) continue;
            const int64_t *list = w.members;
            b.within[list[a]] = kInf;
            b.within[list[e - 1]] = kInf;
            const double range = w.W[list[e - 1] * M + m] - w.W[list[a] * M + m];
            if (!(std::isfinite(range) && range > 0.0)) continue;
            auto gap = [&](int64_t j) { return w.W[list[j + 1] * M + m] - w.W[list[j - 1] * M + m]; };
            // Two members per vector division (the divisions bound this loop).
            const Double2 range2 = {range, range};
            int64_t j = a + 1;
            for (; j + 2 < e; j += 2) {
                const Double2 g = {gap(j), gap(j + 1)};
                const Double2 term = g / range2;
                b.within[list[j]] += term[0];
                b.within[list[j + 1]] += term[1];
            }
            if (j + 1 < e) b.within[list[j]] += gap(j) / range;
        }
    }
}

// Below this many individuals the global order sorts each front on its own (measured on fresh
// populations with bench/compare_builds.py, where the comparison sorts mispredict more and more
// as N grows: from N = 16 on, the buckets are 2 to 20 % faster; at N = 8, 1 to 3 % slower).
constexpr int64_t kOneOrderSortMinN = 16;

// The insertion pass that finishes the score buckets gives up after moving records this many
// places per record (comparison sorts of the fronts take over).
constexpr int64_t kScoreInsertionBudget = 4;

// Global order: by front, then score descending, then index. A score's sort key is the
// complement of its order key, so +inf scores (every member of a front of at most two, both ends
// of each objective otherwise: often a third of the population) have the least key and tie
// (scores are never NaN: a term is only added over a finite range, between finite values).
// Small populations sort each front's members (contiguous in `members`) on their own. Larger
// ones place everybody at once by one counting pass over buckets laid out front after front:
// front f owns the 4 n_f buckets from 4 front_start[f] on (2 from N = 2^16 on, as in the column
// sort), the first for its +inf scores (they need no sorting: index order), the rest for its
// other scores. Those are cut from the keys, not the values: key bits follow the exponent, which
// spreads crowding scores (crowded towards zero) far better than a linear scale; each front
// shifts the keys' common span down to fewer than its 4 n_f - 1 buckets. A bucket then only
// holds scores of one front, so the stable insertion pass that finishes the sort moves few
// records, even where many fronts share the same few scores (fronts whose members sit at even
// gaps). O(N) besides the insertions.
void global_order(const Work &w, int64_t n_fronts) {
    const Buffers &b = *w.b;
    const int64_t N = w.N, *start = w.front_start;
    Pair *records = w.global.records;
    auto put = [&b, records](int64_t j, int64_t i) {
        store_key(&records[j].val, ~order_key(b.within[i]));
        records[j].idx = static_cast<int32_t>(i);
    };
    if (N < kOneOrderSortMinN) {
        for (int64_t f = 0; f < n_fronts; ++f) {
            const int64_t a = start[f], n = start[f + 1] - a;
            for (int64_t j = 0; j < n; ++j) put(j, w.members[a + j]);
            sort_pairs(records, n);
            for (int64_t j = 0; j < n; ++j) b.order[a + j] = records[j].idx;
        }
        return;
    }
    const uint64_t inf_key = ~order_key(kInf);
    Pair *spare = w.global.spare;
    // The span of the other scores' keys, from their extremes as doubles (the keys fall as the
    // scores, never NaN, rise). Whether a score is +inf is hard to predict: the loops over the
    // individuals tell them apart without branches.
    double least = kInf, most = -kInf;
    int64_t i = 0;
#ifdef VQ_SSE2
    const __m128d inf = _mm_set1_pd(kInf), minus_inf = _mm_set1_pd(-kInf);
    __m128d least2 = inf, most2 = minus_inf;
    for (; i + 2 <= N; i += 2) {
        const __m128d x = _mm_loadu_pd(b.within + i);
        store_two_records(spare, i, _mm_xor_si128(order_keys(x), _mm_set1_epi64x(-1)));
        const __m128d other = _mm_cmplt_pd(x, inf);
        least2 = _mm_min_pd(least2, _mm_or_pd(_mm_and_pd(other, x), _mm_andnot_pd(other, inf)));
        most2 = _mm_max_pd(most2, _mm_or_pd(_mm_and_pd(other, x), _mm_andnot_pd(other, minus_inf)));
    }
    least = std::min(_mm_cvtsd_f64(least2), _mm_cvtsd_f64(_mm_unpackhi_pd(least2, least2)));
    most = std::max(_mm_cvtsd_f64(most2), _mm_cvtsd_f64(_mm_unpackhi_pd(most2, most2)));
#endif
    for (; i < N; ++i) {
        const double x = b.within[i];
        VQ_ASSERT(x == x);
        store_key(&spare[i].val, ~order_key(x));
        spare[i].idx = static_cast<int32_t>(i);
        least = std::min(least, x < kInf ? x : kInf);
        most = std::max(most, x < kInf ? x : -kInf);
    }
    uint64_t lo = UINT64_MAX, hi = 0;
    if (most > -kInf) {
        lo = ~order_key(most);
        hi = ~order_key(least);
    }
    const uint64_t span = lo <= hi ? hi - lo : 0;
    const int span_bits = span ? 64 - clz64(span) : 0;  // span < 2^span_bits
    const int64_t per = buckets_per_record(N);
    uint8_t *shift = w.global.shift;
    for (int64_t f = 0; f < n_fronts; ++f) {
        // per n_f - 1 >= 2^p buckets for the scores; span >> s < 2^p once s >= span_bits - p.
        const uint64_t nb = static_cast<uint64_t>(per * (start[f + 1] - start[f]) - 1);
        const int p = 63 - clz64(nb);
        int s = std::max(span_bits - p, 0);
        s -= static_cast<int>(s > 0) & static_cast<int>((span >> std::max(s - 1, 0)) < nb);  // finer if it fits
        shift[f] = static_cast<uint8_t>(std::min(s, 63));  // 64 only for fronts of +inf scores alone
    }
    uint32_t *ids = w.global.bucket;
    int32_t *const(&count)[2] = w.global.bucket_count;
    const int64_t nb = per * N, *front = b.front_id;
    with_bucket_tables(count, N, [&](auto *const(&c)[2]) {
        std::fill(c[0], c[0] + nb, 0);
        std::fill(c[1], c[1] + nb, 0);
        by_parity(N, c, [&](int64_t i, auto *table) {
            const int64_t f = front[i];
            const uint64_t key = pair_key(spare[i]);
            const uint64_t rest = (1 + ((key - lo) >> shift[f])) & (0 - uint64_t{key != inf_key});
            ids[i] = static_cast<uint32_t>(per * start[f] + static_cast<int64_t>(rest));
            VQ_ASSERT(ids[i] < per * start[f + 1]);
            ++table[ids[i]];
        });
        scatter_by_bucket(spare, ids, N, nb, c, true, records);
    });
    // Every front starts with a +inf score, whose key is below every other: as a fence, it keeps
    // the insertion within the fronts.
    if (!insertion_by_key(records, N, kScoreInsertionBudget * N, &inf_key)) {
        for (int64_t f = 0; f < n_fronts; ++f) {
            int64_t a = start[f];
            while (a < start[f + 1] && pair_key(records[a]) == inf_key) ++a;
            sort_pairs(records + a, start[f + 1] - a);
        }
    }
    for (int64_t j = 0; j < N; ++j) b.order[j] = records[j].idx;
}

// Sets the views of Work on the caller's buffers (the table in rating_detail.hpp), and carves
// the sorted orders (and the bitsets, with three or more objectives) out of `dom` when the
// population is large enough for it to hold them.
void plan_work(Work *w, const Buffers &b, int mode_i) {
    const int64_t N = b.N, M = b.M;
    w->b = &b;
    w->N = N;
    w->M = M;
    w->W = mode_i == 1 ? b.R : b.X;
    w->tied = ~uint64_t{0};
    w->placed = false;
    w->lex = b.cur;
    w->front_start = b.offsets;
    w->members = b.items;
    w->cursor_lo = b.n_dom;
    w->cursor_hi = b.nxt;
    // `keys` holds OrderKey records, larger than Pair ones and as aligned; `order` and `items` hold N
    // int64 each, room for the two tables of bucket counts and cursors.
    static_assert(sizeof(OrderKey) >= sizeof(Pair) && alignof(OrderKey) % alignof(Pair) == 0, "spare records");
    int32_t *const bucket_count[2] = {reinterpret_cast<int32_t *>(b.order), reinterpret_cast<int32_t *>(b.items)};
    w->column = {b.pairs,
                 reinterpret_cast<Pair *>(b.keys),
                 reinterpret_cast<uint32_t *>(b.nxt),
                 {bucket_count[0], bucket_count[1]}};
    w->fronts = {reinterpret_cast<uint64_t *>(b.items),
                 reinterpret_cast<uint64_t *>(b.items),
                 reinterpret_cast<int32_t *>(b.items),
                 b.nxt,
                 b.n_dom,
                 b.n_dom,
                 b.nxt,
                 b.n_dom,
                 reinterpret_cast<int32_t *>(b.items),
                 reinterpret_cast<int32_t *>(b.items) + N,
                 b.offsets,
                 b.items,
                 b.offsets + 1,
                 reinterpret_cast<int32_t *>(b.order)};
    w->groups = {b.order};
    w->crowding = {b.pairs};
    w->global = {b.pairs,
                 reinterpret_cast<Pair *>(b.keys),
                 reinterpret_cast<uint8_t *>(b.n_dom),
                 reinterpret_cast<uint32_t *>(b.nxt),
                 {bucket_count[0], bucket_count[1]}};

    const int64_t words = (N + 63) / 64;
    w->col = nullptr;
    w->bits = nullptr;
    w->bit_words = 0;
    if (N < kArenaMinN || M == 0) return;
    constexpr uintptr_t kAlign = alignof(uint64_t);
    const auto base = reinterpret_cast<uintptr_t>(b.dom);
    const uintptr_t aligned = (base + kAlign - 1) & ~(kAlign - 1);
    const int64_t room = N * N - static_cast<int64_t>(aligned - base);
    const bool use_bits = M >= 3 && N >= kBitsetMinN;
    // N dominance rows, one member row per front (at most N) and the running row of fronts_bitsets.
    int64_t bit_bytes = use_bits ? (2 * N + 1) * words * int64_t{sizeof(uint64_t)} : 0;
    const int64_t col_bytes = int64_t{sizeof(int32_t)} * N * M;
    if (room < bit_bytes + col_bytes) return;
    // Three objectives: the bits get the rest (fronts_three_table keeps as many fronts as fit).
    if (use_bits && M == 3) bit_bytes = (room - col_bytes) & ~int64_t{sizeof(uint64_t) - 1};
    auto *arena = reinterpret_cast<uint8_t *>(aligned);
    if (use_bits) w->bits = reinterpret_cast<uint64_t *>(arena);
    w->bit_words = bit_bytes / int64_t{sizeof(uint64_t)};
    w->col = reinterpret_cast<int32_t *>(arena + bit_bytes);
}

}  // namespace
}  // namespace detail

int rate(int mode_i, const Buffers &b) {
    using namespace detail;
    if (b.N == 0) return 0;
    Work w;
    plan_work(&w, b, mode_i);
    prepare_keys(&w, mode_i);
    if (w.M >= 1) lexicographic_order(w);
    const int64_t n_fronts = assign_fronts(w);
    group_fronts(w, n_fronts, w.col == nullptr);
    crowding(w, n_fronts);
    global_order(w, n_fronts);
    return static_cast<int>(n_fronts);
}

}  // namespace rating
}  // namespace vq
