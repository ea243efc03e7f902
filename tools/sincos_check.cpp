// Whether the C library's sincos gives the same bits as its sin and cos on the generator's angles:
// the angles of `pairs` Box-Muller pairs of the stream of each of `seeds` seeds (kTwoPi * u2, as the
// sampler computes them), each through both. Prints the number of angles and of differing results;
// exits 1 when any differs. sin, cos and sincos are called through volatile pointers, so that the
// compiler can neither merge the two calls into one sincos nor evaluate any of them itself.
//
//   make check-sincos      (or: g++ -O2 -std=c++17 -ffp-contract=off -Isrc/vornaquill/_native
//                           -Isrc/vornaquill/selection_core/_kernels tools/sincos_check.cpp, then run
//                           the program with [pairs per seed] [seeds])
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "box_muller.hpp"

namespace {
double (*volatile sin_fn)(double) = std::sin;
double (*volatile cos_fn)(double) = std::cos;
void (*volatile sincos_fn)(double, double *, double *) = ::sincos;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

int main(int argc, char **argv) {
    const long long pairs = argc > 1 ? std::atoll(argv[1]) : 20000000;
    const int seeds = argc > 2 ? std::atoi(argv[2]) : 5;
    long long angles = 0, differ = 0;
    for (int seed = 0; seed < seeds; ++seed) {
        vq::Xoshiro256ss st;
        vq::_xoshiro_seed(st, static_cast<uint64_t>(seed));
        for (long long j = 0; j < pairs; ++j) {
            const double theta = vq::_box_muller_polar(st).theta;
            double s, c;
            sincos_fn(theta, &s, &c);
            differ += !same_bits(s, sin_fn(theta)) || !same_bits(c, cos_fn(theta));
            ++angles;
        }
    }
    std::printf("%lld angles, %lld with sincos != (sin, cos)\n", angles, differ);
    return differ ? 1 : 0;
}
