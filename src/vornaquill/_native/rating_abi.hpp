// The C-level call contract between the selection kernels and the Pareto rating component.
// Both sides include this header; the layout of every record here is part of the binary
// interface (a component built by another toolchain must be able to stand in).
#pragma once
#include <cstddef>
#include <cstdint>

namespace vq {

// Memory-view slice record, passed by value. Only `data`, `shape` and `strides` (in bytes)
// carry information; `memview` is NULL and every suboffset is -1.
struct MemviewSlice {
    void *memview;
    char *data;
    std::ptrdiff_t shape[8];
    std::ptrdiff_t strides[8];
    std::ptrdiff_t suboffsets[8];
};

template <class Int>
inline MemviewSlice make_memview(void *data, int ndim, const Int *shape, const Int *strides) {
    MemviewSlice s{};
    s.memview = nullptr;
    s.data = static_cast<char *>(data);
    for (int d = 0; d < 8; ++d) s.suboffsets[d] = -1;
    for (int d = 0; d < ndim && d < 8; ++d) {
        s.shape[d] = static_cast<std::ptrdiff_t>(shape[d]);
        s.strides[d] = static_cast<std::ptrdiff_t>(strides[d]);
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

// The buffers of one call: element type and shape in terms of N and M. This one description
// drives every side: the C-level entry checks the slices against it, the Python entry carves its
// working storage from it, the sampling kernels create their arrays from it, and the tests build
// their buffers from it. Rows are in the order in which the sampling kernels create them (the
// arrays, then the two record blocks); the call takes them in the order of RatePopulationFn.
enum RatingBuffer : int {
    kBufX,
    kBufR,
    kBufFrontId,
    kBufWithin,
    kBufOrder,
    kBufItems,
    kBufOffsets,
    kBufDom,
    kBufNDom,
    kBufCur,
    kBufNxt,
    kBufPairs,
    kBufKeys,
    kNumRatingBuffers,
    kNumRatingArrays = kBufPairs,  // the rows before the records are arrays of numbers
};

// Numbers are aligned to their size; the records are blocks of Pair or OrderKey.
enum class Elem : uint8_t { F64, I64, I32, U8, PairRecord, OrderKeyRecord };
// Length of one axis: N, N + 1, M, or max(N, 1); None for the second axis of a vector.
enum class Extent : uint8_t { None, N, NPlus1, M, NOr1 };
// Input (read only), output (the caller reads it after the call) or working storage.
enum class Role : uint8_t { In, Out, Work };

struct BufferSpec {
    RatingBuffer id;
    const char *name;
    Elem elem;
    Extent rows, cols;
    Role role;
};

inline constexpr BufferSpec kRatingBuffers[kNumRatingBuffers] = {
    {kBufX, "X", Elem::F64, Extent::N, Extent::M, Role::In},
    {kBufR, "R", Elem::F64, Extent::N, Extent::M, Role::Work},
    {kBufFrontId, "front_id", Elem::I64, Extent::N, Extent::None, Role::Out},
    {kBufWithin, "within", Elem::F64, Extent::N, Extent::None, Role::Out},
    {kBufOrder, "order", Elem::I64, Extent::N, Extent::None, Role::Out},
    {kBufItems, "items", Elem::I64, Extent::N, Extent::None, Role::Work},
    {kBufOffsets, "offsets", Elem::I64, Extent::NPlus1, Extent::None, Role::Work},
    {kBufDom, "dom", Elem::U8, Extent::N, Extent::N, Role::Work},
    {kBufNDom, "n_dom", Elem::I32, Extent::N, Extent::None, Role::Work},
    {kBufCur, "cur", Elem::I32, Extent::N, Extent::None, Role::Work},
    {kBufNxt, "nxt", Elem::I32, Extent::N, Extent::None, Role::Work},
    {kBufPairs, "pairs", Elem::PairRecord, Extent::NOr1, Extent::None, Role::Work},
    {kBufKeys, "keys", Elem::OrderKeyRecord, Extent::NOr1, Extent::None, Role::Work},
};

// Size, alignment and name (the NumPy dtype name of an array's elements, or the record's name)
// of each Elem, in Elem order.
struct ElemInfo {
    Elem elem;
    size_t size, align;
    const char *name;
};
inline constexpr ElemInfo kElems[] = {
    {Elem::F64, sizeof(double), sizeof(double), "float64"},
    {Elem::I64, sizeof(int64_t), sizeof(int64_t), "int64"},
    {Elem::I32, sizeof(int32_t), sizeof(int32_t), "int32"},
    {Elem::U8, sizeof(uint8_t), sizeof(uint8_t), "uint8"},
    {Elem::PairRecord, sizeof(Pair), alignof(Pair), "Pair"},
    {Elem::OrderKeyRecord, sizeof(OrderKey), alignof(OrderKey), "OrderKey"},
};

constexpr bool tables_in_order() {
    for (int i = 0; i < kNumRatingBuffers; ++i)
        if (kRatingBuffers[i].id != i) return false;
    for (int i = 0; i < static_cast<int>(sizeof kElems / sizeof kElems[0]); ++i)
        if (static_cast<int>(kElems[i].elem) != i) return false;
    return true;
}
static_assert(tables_in_order(), "kRatingBuffers and kElems must be listed in the order of their enums");

constexpr const ElemInfo &elem_info(Elem e) { return kElems[static_cast<int>(e)]; }
constexpr size_t elem_size(Elem e) { return elem_info(e).size; }
constexpr size_t elem_align(Elem e) { return elem_info(e).align; }
constexpr const char *elem_name(Elem e) { return elem_info(e).name; }
constexpr bool is_record(Elem e) { return e == Elem::PairRecord || e == Elem::OrderKeyRecord; }

constexpr int64_t extent(Extent e, int64_t N, int64_t M) {
    switch (e) {
    case Extent::None: return 1;
    case Extent::N: return N;
    case Extent::NPlus1: return N + 1;
    case Extent::M: return M;
    case Extent::NOr1: return N > 1 ? N : 1;
    }
    return 0;
}

constexpr int ndim(const BufferSpec &b) { return b.cols == Extent::None ? 1 : 2; }

constexpr size_t byte_size(const BufferSpec &b, int64_t N, int64_t M) {
    return static_cast<size_t>(extent(b.rows, N, M)) * static_cast<size_t>(extent(b.cols, N, M)) *
           elem_size(b.elem);
}

// The slice record of a C-contiguous array of buffer `b` stored at `data`.
inline MemviewSlice contiguous_slice(const BufferSpec &b, void *data, int64_t N, int64_t M) {
    const std::ptrdiff_t item = static_cast<std::ptrdiff_t>(elem_size(b.elem)), cols = extent(b.cols, N, M);
    const std::ptrdiff_t shape[2] = {extent(b.rows, N, M), cols},
                         strides[2] = {ndim(b) == 2 ? cols * item : item, item};
    return make_memview(data, ndim(b), shape, strides);
}

// Returns the number of fronts (>= 0) or a negative error code.
using RatePopulationFn = int (*)(MemviewSlice X, int mode_i, int within_mode_i, MemviewSlice front_id,
                                 MemviewSlice within, MemviewSlice order, MemviewSlice offsets, MemviewSlice items,
                                 MemviewSlice dom, MemviewSlice n_dom, MemviewSlice cur, MemviewSlice nxt,
                                 Pair *pairs, OrderKey *keys, MemviewSlice R);

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
