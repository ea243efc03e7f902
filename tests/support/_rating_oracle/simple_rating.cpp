// Reference rating for the test suite: the plain reading of the rules, kept simple so that it can
// be trusted. O(N^2 M) dominance matrix, front peeling by domination counts, crowding per front
// with one sort per objective, and one sort for the global order.
#include <algorithm>
#include <cmath>
#include <limits>

#include "rating.hpp"

namespace vq {
namespace rating {
namespace {

// The total preorder on one objective: numbers by value, then NaN (all NaNs equal).
inline bool before(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

inline bool pair_before(const Pair &a, const Pair &b) {
    if (before(a.val, b.val)) return true;
    if (before(b.val, a.val)) return false;
    return a.idx < b.idx;
}

// Average 0-based ranks of each column of X under the preorder; ties share (p + q) / 2.
void average_ranks(const Buffers &b) {
    const int64_t N = b.N, M = b.M;
    for (int64_t m = 0; m < M; ++m) {
        for (int64_t i = 0; i < N; ++i) b.pairs[i] = Pair{b.X[i * M + m], static_cast<int32_t>(i)};
        std::sort(b.pairs, b.pairs + N, pair_before);
        for (int64_t p = 0; p < N;) {
            int64_t q = p;
            while (q + 1 < N && !before(b.pairs[p].val, b.pairs[q + 1].val)) ++q;
            const double r = static_cast<double>(p + q) / 2.0;
            for (int64_t j = p; j <= q; ++j) b.R[b.pairs[j].idx * M + m] = r;
            p = q + 1;
        }
    }
}

bool dominates(const double *a, const double *b, int64_t M) {
    bool strictly = false;
    for (int64_t m = 0; m < M; ++m) {
        if (before(b[m], a[m])) return false;
        if (before(a[m], b[m])) strictly = true;
    }
    return strictly;
}

// Non-dominated sorting by domination counts; returns the number of fronts.
int64_t assign_fronts(const Buffers &b, const double *W) {
    const int64_t N = b.N, M = b.M;
    for (int64_t q = 0; q < N; ++q) b.n_dom[q] = 0;
    for (int64_t p = 0; p < N; ++p) {
        for (int64_t q = 0; q < N; ++q) {
            const bool d = p != q && dominates(W + p * M, W + q * M, M);
            b.dom[p * N + q] = d;
            b.n_dom[q] += d;
        }
    }
    int64_t n_cur = 0;
    for (int64_t i = 0; i < N; ++i)
        if (b.n_dom[i] == 0) b.cur[n_cur++] = static_cast<int32_t>(i);
    int64_t front = 0;
    while (n_cur > 0) {
        int64_t n_nxt = 0;
        for (int64_t j = 0; j < n_cur; ++j) {
            const int32_t p = b.cur[j];
            b.front_id[p] = front;
            for (int64_t q = 0; q < N; ++q) {
                if (b.dom[p * N + q] && --b.n_dom[q] == 0) b.nxt[n_nxt++] = static_cast<int32_t>(q);
            }
        }
        std::copy(b.nxt, b.nxt + n_nxt, b.cur);
        n_cur = n_nxt;
        ++front;
    }
    return front;
}

// Members of each front, by index, as offsets/items (a counting sort by front id).
void group_fronts(const Buffers &b, int64_t n_fronts) {
    std::fill(b.offsets, b.offsets + n_fronts + 1, 0);
    for (int64_t i = 0; i < b.N; ++i) ++b.offsets[b.front_id[i] + 1];
    for (int64_t f = 0; f < n_fronts; ++f) b.offsets[f + 1] += b.offsets[f];
    for (int64_t i = 0; i < b.N; ++i) b.n_dom[i] = 0;  // reused as fill cursor per front
    for (int64_t i = 0; i < b.N; ++i) {
        const int64_t f = b.front_id[i];
        b.items[b.offsets[f] + b.n_dom[f]++] = i;
    }
}

// Crowding distance of one front, objectives in order 0 .. M-1.
void crowding(const Buffers &b, const double *W, const int64_t *members, int64_t n) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (n <= 2) {
        for (int64_t j = 0; j < n; ++j) b.within[members[j]] = inf;
        return;
    }
    for (int64_t j = 0; j < n; ++j) b.within[members[j]] = 0.0;
    const int64_t M = b.M;
    for (int64_t m = 0; m < M; ++m) {
        for (int64_t j = 0; j < n; ++j) b.pairs[j] = Pair{W[members[j] * M + m], static_cast<int32_t>(members[j])};
        std::sort(b.pairs, b.pairs + n, pair_before);
        b.within[b.pairs[0].idx] = inf;
        b.within[b.pairs[n - 1].idx] = inf;
        const double range = b.pairs[n - 1].val - b.pairs[0].val;
        if (!(std::isfinite(range) && range > 0.0)) continue;
        for (int64_t j = 1; j + 1 < n; ++j) {
            const double gap = (b.pairs[j + 1].val - b.pairs[j - 1].val) / range;
            b.within[b.pairs[j].idx] += gap;
        }
    }
}

bool key_before(const OrderKey &a, const OrderKey &c) {
    if (a.front != c.front) return a.front < c.front;
    if (a.neg_score != c.neg_score) return a.neg_score < c.neg_score;
    return a.idx < c.idx;
}

}  // namespace

int rate(int mode_i, const Buffers &b) {
    const int64_t N = b.N;
    if (N == 0) return 0;
    const double *W = b.X;
    if (mode_i == 1) {
        average_ranks(b);
        W = b.R;
    }
    const int64_t n_fronts = assign_fronts(b, W);
    group_fronts(b, n_fronts);
    for (int64_t f = 0; f < n_fronts; ++f) crowding(b, W, b.items + b.offsets[f], b.offsets[f + 1] - b.offsets[f]);
    for (int64_t i = 0; i < N; ++i) b.keys[i] = OrderKey{b.front_id[i], -b.within[i], i};
    std::sort(b.keys, b.keys + N, key_before);
    for (int64_t i = 0; i < N; ++i) b.order[i] = b.keys[i].idx;
    return static_cast<int>(n_fronts);
}

}  // namespace rating
}  // namespace vq
