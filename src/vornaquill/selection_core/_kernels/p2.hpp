// P² streaming quantile estimator (Jain and Chlamtac, 1985): five markers whose heights track
// the minimum, the p/2, p and (1+p)/2 quantiles and the maximum of a stream. Each new
// observation moves the actual marker positions; a marker that drifts one or more positions from
// its desired position is moved by one, its height predicted by a piecewise-parabolic fit through
// its neighbours (linear when the parabola leaves the neighbouring heights).
// O(1) time and memory per observation.
//
// Pure C++ on a caller-owned record of three five-element arrays: no Python, no allocation,
// cannot fail. Results are read as q[2]. The arithmetic below is fixed operation by operation
// (the build disables fused multiply-add) so that estimates are reproducible bit for bit.
#pragma once
#include <cstdint>

namespace vq {

using I32T = int32_t;

// A record holds kP2Markers heights, positions and desired positions; the estimate is the height
// of the middle marker.
inline constexpr int kP2Markers = 5;
inline constexpr int kP2Estimate = 2;

// Insertion sort of five doubles, ascending; equal values keep their relative order.
inline void _sort5(double *a) {
    for (int i = 1; i < 5; ++i) {
        const double key = a[i];
        int j = i - 1;
        while (j >= 0 && a[j] > key) {
            a[j + 1] = a[j];
            --j;
        }
        a[j + 1] = key;
    }
}

// Start a record from the first five observations of the stream, already sorted ascending.
inline void _p2_init(double *q, I32T *npos, double *ndes, double p, double s0, double s1, double s2, double s3,
                     double s4) {
    q[0] = s0;
    q[1] = s1;
    q[2] = s2;
    q[3] = s3;
    q[4] = s4;
    for (int i = 0; i < 5; ++i) npos[i] = i + 1;
    ndes[0] = 1.0;
    ndes[1] = 1.0 + 2.0 * p;
    ndes[2] = 1.0 + 4.0 * p;
    ndes[3] = 3.0 + 2.0 * p;
    ndes[4] = 5.0;
}

// Absorb one observation. A NaN falls into no cell: it changes no height but still counts as
// an observation below every marker but the first.
inline void _p2_update(double *q, I32T *npos, double *ndes, double p, double x) {
    int k;
    if (x < q[0]) {
        q[0] = x;
        k = 0;
    } else if (x >= q[4]) {
        q[4] = x;
        k = 3;
    } else {
        k = 0;
        for (int i = 0; i < 4; ++i) {
            if (q[i] <= x && x < q[i + 1]) {
                k = i;
                break;
            }
        }
    }
    for (int i = k + 1; i < 5; ++i) npos[i] += 1;

    ndes[1] += p / 2.0;
    ndes[2] += p;
    ndes[3] += (1.0 + p) / 2.0;
    ndes[4] += 1.0;

    for (int i = 1; i <= 3; ++i) {
        const double d = ndes[i] - static_cast<double>(npos[i]);
        I32T di;
        if (d >= 1.0 && npos[i + 1] - npos[i] > 1) {
            di = 1;
        } else if (d <= -1.0 && npos[i - 1] - npos[i] < -1) {
            di = -1;
        } else {
            continue;  // within one position of its target, blocked by a neighbour, or NaN
        }
        const double ddi = static_cast<double>(di);
        const double span = static_cast<double>(npos[i + 1] - npos[i - 1]);
        const double up = static_cast<double>(npos[i] - npos[i - 1] + di) * (q[i + 1] - q[i]) /
                          static_cast<double>(npos[i + 1] - npos[i]);
        const double down = static_cast<double>(npos[i + 1] - npos[i] - di) * (q[i] - q[i - 1]) /
                            static_cast<double>(npos[i] - npos[i - 1]);
        const double qhat = q[i] + ddi / span * (up + down);
        if (q[i - 1] < qhat && qhat < q[i + 1]) {
            q[i] = qhat;
        } else {
            q[i] = q[i] + ddi * (q[i + di] - q[i]) / static_cast<double>(npos[i + di] - npos[i]);
        }
        npos[i] += di;
    }
}

}  // namespace vq
