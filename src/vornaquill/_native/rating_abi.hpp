// The C-level call contract between the selection kernels and the Pareto rating component.
// Both sides include this header; the layout of every record here is part of the binary
// interface (a component built by another toolchain must be able to stand in).
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace vq {

// Memory-view slice record, passed by value. Only `data`, `shape` and `strides` (in bytes)
// carry information; `memview` is NULL and every suboffset is -1.
struct MemviewSlice {
    void *memview;
    char *data;
    ssize_t shape[8];
    ssize_t strides[8];
    ssize_t suboffsets[8];
};

template <class Int>
inline MemviewSlice make_memview(void *data, int ndim, const Int *shape, const Int *strides) {
    MemviewSlice s{};
    s.memview = nullptr;
    s.data = static_cast<char *>(data);
    for (int d = 0; d < 8; ++d) s.suboffsets[d] = -1;
    for (int d = 0; d < ndim && d < 8; ++d) {
        s.shape[d] = static_cast<ssize_t>(shape[d]);
        s.strides[d] = static_cast<ssize_t>(strides[d]);
    }
    return s;
}

// Scratch records owned by the caller, max(N, 1) of each per call.
struct Pair {
    double val;
    int32_t idx;
};

struct OrderKey {
    int64_t front;
    double neg_score;
    int64_t idx;
};

// Returns the number of fronts (>= 0) or a negative error code.
using RatePopulationFn = int (*)(MemviewSlice X, int mode_i, int within_mode_i, MemviewSlice front_id,
                                 MemviewSlice within, MemviewSlice order, MemviewSlice offsets,
                                 MemviewSlice items, MemviewSlice dom, MemviewSlice n_dom,
                                 MemviewSlice cur, MemviewSlice nxt, Pair *pairs, OrderKey *keys,
                                 MemviewSlice R);

// Key of the function in the component's `__pyx_capi__` table, and the exact capsule name
// that certifies the signature above.
inline constexpr const char kRateFunctionName[] = "rate_population_inplace";
inline constexpr const char kRateSignature[] =
    "int (__Pyx_memviewslice, int, int, __Pyx_memviewslice, __Pyx_memviewslice, "
    "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
    "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
    "struct __pyx_t_10vornaquill_11pareto_core_17_pareto_rating_cy_Pair *, "
    "struct __pyx_t_10vornaquill_11pareto_core_17_pareto_rating_cy_OrderKey *, __Pyx_memviewslice)";
static_assert(sizeof(kRateSignature) - 1 == 378, "capsule signature must be 378 characters");

inline constexpr const char kRatingModuleName[] = "vornaquill.pareto_core._pareto_rating_cy";

}  // namespace vq
