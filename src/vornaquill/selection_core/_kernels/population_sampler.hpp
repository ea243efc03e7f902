// The rule that samples one population from per-element means and standard deviations, and the
// standard deviations from the variances.
//
// Frozen stream (see xoshiro256ss.hpp): the order in which elements take deviates is part of every
// seeded result.
// Pure C++: no Python, no allocation, cannot fail.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "box_muller.hpp"
#include "check.hpp"
#include "portable.hpp"
#include "xoshiro256ss.hpp"

namespace vq {

// Standard deviations from variances: 0.0 for a variance <= 0, NaN stays NaN.
inline void _sigma_from_sigma2(const double *sigma2, double *sigma, size_t n) {
    for (size_t j = 0; j < n; ++j) sigma[j] = sigma2[j] <= 0.0 ? 0.0 : std::sqrt(sigma2[j]);
}

// How many of sigma[0 .. n) draw a deviate: those that are not zero (NaN included).
inline size_t _count_drawing(const double *sigma, size_t n) {
    size_t need = 0, j = 0;
#ifdef VQ_SSE2
    // Two at a time: a true comparison is all ones, -1 as a 64-bit integer.
    __m128i minus_need = _mm_setzero_si128();
    for (; j + 2 <= n; j += 2)
        minus_need = _mm_add_epi64(minus_need,
                                   _mm_castpd_si128(_mm_cmpneq_pd(_mm_loadu_pd(sigma + j), _mm_setzero_pd())));
    int64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), minus_need);
    need = static_cast<size_t>(-(lanes[0] + lanes[1]));
#endif
    for (; j < n; ++j) need += sigma[j] != 0.0;
    return need;
}

// Box-Muller pairs evaluated per batch: enough that their angles, grouped by class, go round the
// circle in small steps, while the batch's arrays (about 10 KB) stay in the first-level cache.
inline constexpr size_t kPairBatch = 256;
// Angle classes of the grouping: equal parts of the circle, as many as the batch has pairs (a
// power of two from kMinAngleClasses to kMaxAngleClasses), so the calls of a batch see their
// angles nearly in ascending order, and sincos's branches on the argument's range, quadrant and
// place in them change only where the angles cross a boundary. Fewer classes for fewer pairs keep
// the class counts' cost in proportion. (Measured side by side, bench/compare_kernels.py: 16
// classes of 128 pairs cost the kernel 2 to 4 % more at N = 256; 64 or 128 classes, or 1,024, or
// batches of 512 or 1,024 pairs were between; 256 classes for small batches cost 2 to 8 % at
// N = 16.)
inline constexpr size_t kMinAngleClasses = 16, kMaxAngleClasses = 256;
static_assert(kMaxAngleClasses >= kPairBatch && kMaxAngleClasses <= 256, "one class per pair, in a uint8_t");

// The classes for a batch of `pairs` pairs; a pair's class is floor(u2 * classes).
inline size_t _angle_classes(size_t pairs) {
    size_t classes = kMinAngleClasses;
    while (classes < pairs) classes *= 2;
    return classes;
}

// One sampled population: C-contiguous N x M matrices, so rows ascending then columns ascending
// is plain storage order. Element j takes mu[j] when sigma[j] is zero and draws nothing (a pending
// spare waits for the next element that draws); otherwise (a NaN sigma included) it takes
// mu[j] + sigma[j] * z, z the next deviate of _xoshiro_randn (product rounded, then the sum).
//
// The deviates are those of _xoshiro_randn, one after another, but their Box-Muller pairs are
// evaluated in batches: the uniforms, logarithms and square roots of up to kPairBatch pairs in
// stream order, then sincos for them grouped by the angle's class. The C library's sincos branches
// on the angle's range and quadrant; grouped, those branches are predicted instead of missed about
// once per call (measured by the case "sincos_grouping" of bench/native/microbench.cpp: about 9.5
// instead of 19 ns per call). Each call is the same pure function of the same angle, so every
// deviate, the spare and the generator state are those of the one-at-a-time rule.
inline void _sample_population(Xoshiro256ss &st, const double *mu, const double *sigma, double *X, size_t n) {
    double radius[kPairBatch], theta[kPairBatch];
    double z[2 * kPairBatch + 1];  // the pending spare, then r cos and r sin of each pair
    uint8_t cls[kPairBatch];
    uint16_t by_class[kPairBatch];
    for (size_t j0 = 0; j0 < n;) {
        // Elements j0 .. j1 - 1 need at most 2 * kPairBatch deviates, one spare included.
        const size_t j1 = n - j0 > 2 * kPairBatch ? j0 + 2 * kPairBatch : n;
        const size_t need = _count_drawing(sigma + j0, j1 - j0);
        const size_t from_spare = need > 0 && st.has_spare ? 1 : 0;
        const size_t pairs = (need - from_spare + 1) / 2;
        const size_t classes = _angle_classes(pairs);
        int count[kMaxAngleClasses + 1];
        std::fill(count, count + classes + 1, 0);
        for (size_t p = 0; p < pairs; ++p) {
            const PolarPair pp = _box_muller_polar(st);
            radius[p] = pp.radius;
            theta[p] = pp.theta;
            cls[p] = static_cast<uint8_t>(pp.u2 * static_cast<double>(classes));  // u2 < 1: below `classes`
            VQ_ASSERT(cls[p] < classes);
            ++count[cls[p] + 1];
        }
        for (size_t c = 0; c < classes; ++c) count[c + 1] += count[c];
        for (size_t p = 0; p < pairs; ++p) by_class[count[cls[p]]++] = static_cast<uint16_t>(p);
        for (size_t q = 0; q < pairs; ++q) {
            const size_t p = by_class[q];
            _box_muller_deviates(radius[p], theta[p], &z[1 + 2 * p], &z[2 + 2 * p]);
        }
        z[0] = st.spare;
        size_t d = from_spare ? 0 : 1;
        if (need == j1 - j0) {
            // Every element draws (the usual case): the same sums without a test per element.
            const double *m = mu + j0, *sd = sigma + j0, *dev = z + d;
            double *x = X + j0;
            for (size_t t = 0; t < j1 - j0; ++t) x[t] = m[t] + sd[t] * dev[t];
        } else {
            for (size_t j = j0; j < j1; ++j) {
                if (sigma[j] == 0.0) {
                    X[j] = mu[j];
                } else {
                    VQ_ASSERT(d <= 2 * pairs);
                    const double dev = sigma[j] * z[d++];
                    X[j] = mu[j] + dev;
                }
            }
        }
        if (need > 0) {
            // An odd number of deviates taken from the pairs leaves the last r sin pending.
            const bool left = (need - from_spare) % 2 == 1;
            st.has_spare = left ? 1 : 0;
            if (left) st.spare = z[2 * pairs];
        }
        j0 = j1;
    }
}

}  // namespace vq
