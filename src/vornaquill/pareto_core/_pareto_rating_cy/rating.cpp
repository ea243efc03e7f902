// Rating of one population: keys (or average ranks), fronts, crowding, global order.
//
// Storage, all of it the caller's: R holds the key matrix (mode 0: order keys of X; mode 1: the
// average ranks, which are their own keys); `pairs` and `keys` are the sort records; `cur` holds
// the lexicographic order; `items`/`offsets` the members of each front; `dom` is a byte arena for
// the per-objective sorted orders and, with three or more objectives, the dominance bitsets.
#include <algorithm>
#include <cmath>
#include <limits>

#include "rating_detail.hpp"

namespace vq {
namespace rating {
namespace detail {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Smallest population for which the arena keeps the sorted orders, and for which the dominance
// bitsets replace pairwise comparisons (three or more objectives).
constexpr int64_t kArenaMinN = 32;
constexpr int64_t kBitsetMinN = 32;

// Sorts column m of X into pairs by (order key, index). When the column's finite values spread
// out, one counting pass does most of it: a value's bucket is its place between the finite
// extremes, scaled to 2 N buckets (so that few records share one), with -inf in the first bucket
// and +inf and NaN in the last, so that the buckets follow the key order; an insertion pass then
// sorts within the buckets (values so skewed that it gives up are sorted by comparisons). Few
// records or no finite spread go to IndexOrderSort (a comparison sort below kRadixMinN records,
// else the radix sort). Scratch: the `keys` records, `nxt` for the bucket of each record, `order`
// (2 N int32, free until the end) for the bucket cursors.
void sort_column(const Work &w, int64_t m) {
    const Buffers &b = *w.b;
    const int64_t N = w.N, M = w.M;
    auto value = [&b, m, M](int64_t i) { return b.X[i * M + m]; };
    Pair *spare = reinterpret_cast<Pair *>(b.keys);
    if (N >= kRadixMinN) {
        double lo = kInf, hi = -kInf;
        for (int64_t i = 0; i < N; ++i) {
            const double v = value(i);
            const bool finite = std::fabs(v) < kInf;
            lo = finite && v < lo ? v : lo;
            hi = finite && v > hi ? v : hi;
        }
        const int64_t nb = 2 * N;
        const double span = hi - lo, scale = static_cast<double>(nb) / span;
        if (span > 0.0 && span < kInf && scale < kInf) {
            auto *ids = reinterpret_cast<uint32_t *>(b.nxt);
            auto *cursors = reinterpret_cast<int32_t *>(b.order);
            std::fill(cursors, cursors + nb, 0);
            const double top = static_cast<double>(nb - 1);
            for (int64_t i = 0; i < N; ++i) {
                const double v = value(i), t = (v - lo) * scale;
                const uint32_t id = !(t < top) ? static_cast<uint32_t>(nb - 1) : t > 0.0 ? static_cast<uint32_t>(t) : 0u;
                ids[i] = id;
                ++cursors[id];
                store_key(&spare[i].val, order_key(v));
                spare[i].idx = static_cast<int32_t>(i);
            }
            scatter_by_bucket(spare, ids, N, nb, cursors, b.pairs);
            if (!insertion_by_key(b.pairs, N, 2 * N)) sort_pairs(b.pairs, N);
            return;
        }
    }
    IndexOrderSort sorter(b.pairs, N, spare);
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
    w->tied = ~uint64_t{0};
    if (mode_i == 0)
        for (int64_t k = 0; k < N * M; ++k) store_key(b.R + k, order_key(b.X[k]));
    if (mode_i == 0 && !w->col) return;
    for (int64_t m = 0; m < M; ++m) {
        sort_column(*w, m);
        int32_t *col = w->col ? w->col + m * N : nullptr;
        bool tied = false;
        for (int64_t j = 0; j < N; ++j) {
            const int32_t i = b.pairs[j].idx;
            if (col) col[j] = i;
            if (mode_i == 1) b.R[i * M + m] = static_cast<double>(j);  // the rank when nothing ties
            tied |= j > 0 && pair_key(b.pairs[j]) == pair_key(b.pairs[j - 1]);
        }
        if (!tied && m < 64) w->tied &= ~(uint64_t{1} << m);
        if (mode_i == 0 || !tied) continue;
        for (int64_t p = 0; p < N;) {
            const uint64_t k = pair_key(b.pairs[p]);
            int64_t q = p;
            while (q + 1 < N && pair_key(b.pairs[q + 1]) == k) ++q;
            const double r = static_cast<double>(p + q) / 2.0;
            for (int64_t j = p; j <= q; ++j) b.R[b.pairs[j].idx * M + m] = r;
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

// Members of each front, by index, as offsets/items: a counting sort by front. The sizes are
// counted in two halves into separate arrays (`order` is free until the end) for the same reason
// as the two-ended distribution. With the sorted orders at hand the crowding fills `items`
// itself, so only the offsets are needed (with_items false).
void group_fronts(const Buffers &b, int64_t n_fronts, bool with_items) {
    int64_t *count_a = b.offsets, *count_b = b.order;  // count_a[f + 1], count_b[f]
    std::fill(count_a, count_a + n_fronts + 1, 0);
    std::fill(count_b, count_b + n_fronts, 0);
    const int64_t h = b.N / 2;
    for (int64_t i = 0; i < h; ++i) {
        ++count_a[b.front_id[i] + 1];
        ++count_b[b.front_id[h + i]];
    }
    if (b.N % 2) ++count_a[b.front_id[b.N - 1] + 1];
    for (int64_t f = 0; f < n_fronts; ++f) b.offsets[f + 1] += b.offsets[f] + count_b[f];
    if (!with_items) return;
    distribute(b.N, b.offsets, n_fronts, b.n_dom, b.nxt, [&b](int64_t i) { return b.front_id[i]; },
               [&b](int64_t slot, int64_t i) { b.items[slot] = i; });
}

// Puts each front's members in (key m, index) order: from the stored sorted order by one stable
// distribution pass, O(N); otherwise one sort per front.
void order_members(const Work &w, int64_t n_fronts, int64_t m) {
    const Buffers &b = *w.b;
    if (w.col) {
        const int32_t *by_m = w.col + m * w.N;
        distribute(w.N, b.offsets, n_fronts, b.n_dom, b.nxt, [&b, by_m](int64_t j) { return b.front_id[by_m[j]]; },
                   [&b, by_m](int64_t slot, int64_t j) { b.items[slot] = by_m[j]; });
        return;
    }
    for (int64_t f = 0; f < n_fronts; ++f) {
        const int64_t a = b.offsets[f], n = b.offsets[f + 1] - a;
        if (n <= 2) continue;
        for (int64_t j = 0; j < n; ++j) {
            const int64_t i = b.items[a + j];
            store_key(&b.pairs[j].val, w.key(i, m));
            b.pairs[j].idx = static_cast<int32_t>(i);
        }
        sort_pairs(b.pairs, n);
        for (int64_t j = 0; j < n; ++j) b.items[a + j] = b.pairs[j].idx;
    }
}

// Crowding with two objectives and no ties in the second: inside a front the members' first
// keys differ (equal first keys would make the smaller second key dominate) and the second keys
// fall as the first rise (otherwise one would dominate the other). So the (value, index) order of
// the second objective is the first one's reversed: one distribution of the first objective's
// order, and one pass per front adds both terms in the same order as below, with the same
// operands, so the scores are the same to the bit.
void crowding_two(const Work &w, int64_t n_fronts) {
    const Buffers &b = *w.b;
    const double *W = w.W;
    order_members(w, n_fronts, 0);
    const int64_t *list = b.items;
    for (int64_t f = 0; f < n_fronts; ++f) {
        const int64_t a = b.offsets[f], e = b.offsets[f + 1];
        b.within[list[a]] = kInf;
        b.within[list[e - 1]] = kInf;
        if (e - a <= 2) continue;
        const double range0 = W[list[e - 1] * 2] - W[list[a] * 2];
        const double range1 = W[list[a] * 2 + 1] - W[list[e - 1] * 2 + 1];
        const bool add0 = std::isfinite(range0) && range0 > 0.0, add1 = std::isfinite(range1) && range1 > 0.0;
        for (int64_t j = a + 1; j + 1 < e; ++j) {
            const int64_t prev = list[j - 1], next = list[j + 1];
            double score = 0.0;
            if (add0) score += (W[next * 2] - W[prev * 2]) / range0;
            if (add1) score += (W[prev * 2 + 1] - W[next * 2 + 1]) / range1;
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
        b.within[i] = b.offsets[f + 1] - b.offsets[f] <= 2 ? kInf : 0.0;
    }
    for (int64_t m = 0; m < M; ++m) {
        order_members(w, n_fronts, m);
        for (int64_t f = 0; f < n_fronts; ++f) {
            const int64_t a = b.offsets[f], e = b.offsets[f + 1];
            if (e - a <= 2) continue;
            const int64_t *list = b.items;
            b.within[list[a]] = kInf;
            b.within[list[e - 1]] = kInf;
            const double range = w.W[list[e - 1] * M + m] - w.W[list[a] * M + m];
            if (!(std::isfinite(range) && range > 0.0)) continue;
            for (int64_t j = a + 1; j + 1 < e; ++j)
                b.within[list[j]] += (w.W[list[j + 1] * M + m] - w.W[list[j - 1] * M + m]) / range;
        }
    }
}

// Below this many individuals the global order sorts each front on its own (measured on fresh
// populations, where the comparison sorts mispredict more and more as N grows).
constexpr int64_t kOneOrderSortMinN = 128;

// Global order: by front, then score descending, then index. A score's sort key is the
// complement of its order key. Small populations sort each front's members (contiguous in items)
// on their own; larger ones sort everybody by score once and distribute them stably into their
// fronts' slots. O(N log N).
void global_order(const Buffers &b, int64_t n_fronts) {
    auto put = [&b](int64_t j, int64_t i) {
        store_key(&b.pairs[j].val, ~order_key(b.within[i]));
        b.pairs[j].idx = static_cast<int32_t>(i);
    };
    if (b.N < kOneOrderSortMinN) {
        for (int64_t f = 0; f < n_fronts; ++f) {
            const int64_t a = b.offsets[f], n = b.offsets[f + 1] - a;
            for (int64_t j = 0; j < n; ++j) put(j, b.items[a + j]);
            sort_pairs(b.pairs, n);
            for (int64_t j = 0; j < n; ++j) b.order[a + j] = b.pairs[j].idx;
        }
        return;
    }
    // +inf scores (every member of a front of at most two, both ends of each objective otherwise:
    // often a third of the population) come first and tie, so they need no sorting: they go
    // ahead in index order, and only the finite scores are sorted after them. Split without
    // branches, the finite ones listed in n_dom (free until the distribution).
    int64_t n_inf = 0, n_finite = 0;
    int32_t *finite = b.n_dom;
    for (int64_t i = 0; i < b.N; ++i) {
        const bool inf = b.within[i] == kInf;
        b.pairs[n_inf].idx = static_cast<int32_t>(i);
        finite[n_finite] = static_cast<int32_t>(i);
        n_inf += inf;
        n_finite += !inf;
    }
    IndexOrderSort sorter(b.pairs + n_inf, n_finite, reinterpret_cast<Pair *>(b.keys));
    for (int64_t j = 0; j < n_finite; ++j) sorter.put(j, ~order_key(b.within[finite[j]]), finite[j]);
    sorter.sort();
    distribute(b.N, b.offsets, n_fronts, b.n_dom, b.nxt, [&b](int64_t j) { return b.front_id[b.pairs[j].idx]; },
               [&b](int64_t slot, int64_t j) { b.order[slot] = b.pairs[j].idx; });
}

// Carves the sorted orders (and the bitsets, with three or more objectives) out of `dom` when
// the population is large enough for it to hold them.
void plan_arena(Work *w) {
    const Buffers &b = *w->b;
    const int64_t N = w->N, M = w->M, words = (N + 63) / 64;
    w->col = nullptr;
    w->bits = nullptr;
    if (N < kArenaMinN || M == 0) return;
    const auto base = reinterpret_cast<uintptr_t>(b.dom);
    const uintptr_t aligned = (base + 7) & ~uintptr_t{7};
    const int64_t room = N * N - static_cast<int64_t>(aligned - base);
    const bool use_bits = M >= 3 && N >= kBitsetMinN;
    const int64_t bit_bytes = use_bits ? (2 * N + 1) * words * 8 : 0;
    if (room < bit_bytes + 4 * N * M) return;
    auto *arena = reinterpret_cast<uint8_t *>(aligned);
    if (use_bits) w->bits = reinterpret_cast<uint64_t *>(arena);
    w->col = reinterpret_cast<int32_t *>(arena + bit_bytes);
}

}  // namespace
}  // namespace detail

int rate(int mode_i, const Buffers &b) {
    using namespace detail;
    if (b.N == 0) return 0;
    Work w{&b, b.N, b.M, mode_i == 1 ? b.R : b.X, b.cur, nullptr, nullptr, ~uint64_t{0}};
    plan_arena(&w);
    prepare_keys(&w, mode_i);
    if (w.M >= 1) lexicographic_order(w);
    const int64_t n_fronts = assign_fronts(w);
    group_fronts(b, n_fronts, w.col == nullptr);
    crowding(w, n_fronts);
    global_order(b, n_fronts);
    return static_cast<int>(n_fronts);
}

}  // namespace rating
}  // namespace vq
