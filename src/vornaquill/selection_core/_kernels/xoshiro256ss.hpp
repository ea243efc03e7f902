// Seeded xoshiro256** generator, its state seeded through SplitMix64, and uniform doubles.
// The state also carries the spare normal deviate of box_muller.hpp.
//
// Frozen stream: every seeded result of the package depends on the exact arithmetic and the
// exact order of draws here, in box_muller.hpp and in population_sampler.hpp. Changing any of it
// changes every result for every seed.
// Pure C++: no Python, no allocation, cannot fail.
#pragma once
#include <cstdint>

namespace vq {

struct Xoshiro256ss {
    uint64_t s0, s1, s2, s3;
    int32_t has_spare;  // 1 while `spare` holds a deviate not yet returned
    double spare;       // second deviate of the last Box-Muller pair
};

inline uint64_t rotl64(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

inline uint64_t _splitmix64(uint64_t &state) {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The seed is the SplitMix64 start value (0 is valid); any pending spare is discarded.
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
    const uint64_t result = rotl64(st.s1 * 5, 7) * 9;
    const uint64_t t = st.s1 << 17;
    st.s2 ^= st.s0;
    st.s3 ^= st.s1;
    st.s1 ^= st.s2;
    st.s0 ^= st.s3;
    st.s2 ^= t;
    st.s3 = rotl64(st.s3, 45);
    return result;
}

// 2^-53: the top 53 bits of an output, scaled, are a double in [0, 1) without rounding.
inline constexpr double kTwoToMinus53 = 1.1102230246251565e-16;

// A multiple of 2^-53 in [0, 1 - 2^-53].
inline double _xoshiro_u01(Xoshiro256ss &st) {
    return static_cast<double>(_xoshiro_next_u64(st) >> 11) * kTwoToMinus53;
}

}  // namespace vq
