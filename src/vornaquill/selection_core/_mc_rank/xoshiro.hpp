// Seeded xoshiro256** generator (seeded through SplitMix64), Box-Muller standard normal
// deviates with a cached spare, and the rule that samples one population.
//
// Frozen stream: every seeded result of the package depends on the exact arithmetic and the
// exact order of draws below. Changing any of it changes every result for every seed.
// Pure C++: no Python, no allocation, cannot fail.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vq {

struct Xoshiro256ss {
    uint64_t s0, s1, s2, s3;
    int32_t has_spare;
    double spare;
};

inline uint64_t _rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

inline uint64_t _splitmix64(uint64_t &state) {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

inline void _xoshiro_seed(Xoshiro256ss &st, uint64_t seed) {
    st.has_spare = 0;
    st.spare = 0.0;
    uint64_t sm = seed;
    st.s0 = _splitmix64(sm);
    st.s1 = _splitmix64(sm);
    st.s2 = _splitmix64(sm);
    st.s3 = _splitmix64(sm);
}

inline uint64_t _xoshiro_next_u64(Xoshiro256ss &st) {
    const uint64_t result = _rotl(st.s1 * 5, 7) * 9;
    const uint64_t t = st.s1 << 17;
    st.s2 ^= st.s0;
    st.s3 ^= st.s1;
    st.s1 ^= st.s2;
    st.s0 ^= st.s3;
    st.s2 ^= t;
    st.s3 = _rotl(st.s3, 45);
    return result;
}

// A multiple of 2^-53 in [0, 1 - 2^-53].
inline double _xoshiro_u01(Xoshiro256ss &st) {
    return static_cast<double>(_xoshiro_next_u64(st) >> 11) * 1.1102230246251565e-16;
}

// Basic Box-Muller: one pair of outputs gives r*cos(theta) now and r*sin(theta) on the next call.
inline double _xoshiro_randn(Xoshiro256ss &st) {
    if (st.has_spare) {
        st.has_spare = 0;
        return st.spare;
    }
    double u1 = _xoshiro_u01(st);
    const double u2 = _xoshiro_u01(st);
    if (u1 < 1e-300) u1 = 1e-300;  // only 0.0 is replaced: the radius stays finite (about 37.17)
    const double r = std::sqrt(-2.0 * std::log(u1));
    const double theta = 6.283185307179586 * u2;
    double s, c;
    ::sincos(theta, &s, &c);
    st.spare = r * s;
    st.has_spare = 1;
    return r * c;
}

// Standard deviations from variances: 0.0 for a variance <= 0, NaN stays NaN.
inline void _sigma_from_sigma2(const double *sigma2, double *sigma, size_t n) {
    for (size_t j = 0; j < n; ++j) sigma[j] = sigma2[j] <= 0.0 ? 0.0 : std::sqrt(sigma2[j]);
}

// One sampled population: C-contiguous N x M matrices, so rows ascending then columns ascending
// is plain storage order. Element j takes mu[j] when sigma[j] is zero and draws nothing (a pending
// spare waits for the next element that draws); otherwise (a NaN sigma included) it takes
// mu[j] + sigma[j] * z, z the next deviate of _xoshiro_randn (product rounded, then the sum).
//
// The deviates are those of _xoshiro_randn, one after another, but their Box-Muller pairs are
// evaluated in batches: the uniforms, logarithms and square roots of up to kPairBatch pairs in
// stream order, then sincos for them grouped by the angle's sixteenth of the circle. The C
// library's sincos branches on the angle's range and quadrant; grouped, those branches are
// predicted instead of missed about once per call (measured: 256 calls take 2.6 instead of
// 4.7 us). Each call is the same pure function of the same angle, so every deviate, the spare and
// the generator state are those of the one-at-a-time rule.
constexpr size_t kPairBatch = 128;

inline void _sample_population(Xoshiro256ss &st, const double *mu, const double *sigma, double *X,
                               size_t n) {
    constexpr int kClasses = 16;
    double radius[kPairBatch], theta[kPairBatch];
    double z[2 * kPairBatch + 1];  // the pending spare, then r cos and r sin of each pair
    uint8_t cls[kPairBatch];
    uint16_t by_class[kPairBatch];
    for (size_t j0 = 0; j0 < n;) {
        // Elements j0 .. j1 - 1 need at most 2 * kPairBatch deviates, one spare included.
        const size_t j1 = n - j0 > 2 * kPairBatch ? j0 + 2 * kPairBatch : n;
        size_t need = 0;
        for (size_t j = j0; j < j1; ++j) need += sigma[j] != 0.0;
        const size_t from_spare = need > 0 && st.has_spare ? 1 : 0;
        const size_t pairs = (need - from_spare + 1) / 2;
        int count[kClasses + 1] = {0};
        for (size_t p = 0; p < pairs; ++p) {
            double u1 = _xoshiro_u01(st);
            const double u2 = _xoshiro_u01(st);
            if (u1 < 1e-300) u1 = 1e-300;
            radius[p] = std::sqrt(-2.0 * std::log(u1));
            theta[p] = 6.283185307179586 * u2;
            cls[p] = static_cast<uint8_t>(u2 * kClasses);
            ++count[cls[p] + 1];
        }
        for (int c = 0; c < kClasses; ++c) count[c + 1] += count[c];
        for (size_t p = 0; p < pairs; ++p) by_class[count[cls[p]]++] = static_cast<uint16_t>(p);
        for (size_t q = 0; q < pairs; ++q) {
            const size_t p = by_class[q];
            double s, c;
            ::sincos(theta[p], &s, &c);
            z[1 + 2 * p] = radius[p] * c;
            z[2 + 2 * p] = radius[p] * s;
        }
        z[0] = st.spare;
        size_t d = from_spare ? 0 : 1;
        for (size_t j = j0; j < j1; ++j) {
            if (sigma[j] == 0.0) {
                X[j] = mu[j];
            } else {
                const double dev = sigma[j] * z[d++];
                X[j] = mu[j] + dev;
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
