// Standard normal deviates by the basic Box-Muller transform (not the polar form): each pair of
// uniforms gives a radius and an angle, and sin and cos of the angle the two deviates r cos and r sin.
// The one-at-a-time rule _xoshiro_randn returns r cos and keeps r sin as the generator's spare;
// the population sampler evaluates the same steps for many pairs at once.
//
// Frozen stream (see xoshiro256ss.hpp): changing any step changes every seeded result.
// Pure C++: no Python, no allocation, cannot fail. sin and cos are the C library's (portable.hpp:
// sincos where it exists, which gives the same bits as sin and cos there).
#pragma once
#include <cmath>

#include "portable.hpp"
#include "xoshiro256ss.hpp"

namespace vq {

// u1 is raised to this floor before its logarithm. The smallest non-zero u1 is 2^-53, so only
// 0.0 is replaced, and the radius stays finite (at most about 37.17).
inline constexpr double kMinU1 = 1e-300;
inline constexpr double kTwoPi = 6.283185307179586;

// One pair's radius and angle, from the next two uniforms (u1 then u2).
struct PolarPair {
    double radius;
    double theta;
    double u2;  // the angle as a fraction of the circle, before its rounding to radians
};

inline PolarPair _box_muller_polar(Xoshiro256ss &st) {
    double u1 = _xoshiro_u01(st);
    const double u2 = _xoshiro_u01(st);
    if (u1 < kMinU1) u1 = kMinU1;
    return PolarPair{std::sqrt(-2.0 * std::log(u1)), kTwoPi * u2, u2};
}

// The pair's two deviates, in stream order: r cos(theta), then r sin(theta).
inline void _box_muller_deviates(double radius, double theta, double *first, double *second) {
    double s, c;
    sin_cos(theta, &s, &c);
    *first = radius * c;
    *second = radius * s;
}

// The next standard normal deviate: the pending spare if there is one (no generator output is
// used), else the first deviate of a new pair, whose second becomes the spare.
inline double _xoshiro_randn(Xoshiro256ss &st) {
    if (st.has_spare) {
        st.has_spare = 0;
        return st.spare;
    }
    const PolarPair p = _box_muller_polar(st);
    double first;
    _box_muller_deviates(p.radius, p.theta, &first, &st.spare);
    st.has_spare = 1;
    return first;
}

}  // namespace vq
