// What the native code needs beyond standard C++, on every compiler: bit scans, the high half of a
// 64 x 64-bit product, the x86 vector paths and the C library's sincos. Each has GCC/Clang builtins,
// MSVC intrinsics and plain C++; every path gives the same values. Building with VQ_PORTABLE
// (CMake option VORNAQUILL_PORTABLE) takes the plain C++ of each, so that the code other compilers
// get is tested with the usual one.
// Pure C++: no Python, no allocation, cannot fail.
#pragma once
#include <cmath>
#include <cstdint>

#if !defined(VQ_PORTABLE) && defined(__GNUC__)
#define VQ_GNU_BUILTINS 1
#elif !defined(VQ_PORTABLE) && defined(_MSC_VER)
#include <intrin.h>
#define VQ_MSVC_INTRINSICS 1
#endif

// The SSE2 paths: x86-64 always has SSE2, but only GCC and Clang say so (__SSE2__); MSVC says x64.
#if !defined(VQ_PORTABLE) && (defined(__SSE2__) || defined(_M_X64))
#define VQ_SSE2 1
#include <emmintrin.h>
#endif

// The GNU C library has sincos (one call for both, the same bits as sin and cos: tools/sincos_check.cpp).
#if !defined(VQ_PORTABLE) && defined(__GLIBC__)
#define VQ_HAVE_SINCOS 1
#endif

namespace vq {

namespace portable_detail {
// x & -x is a single bit 2^k; times this de Bruijn sequence its top six bits are a distinct index for each k.
inline constexpr uint64_t kDeBruijn64 = 0x03f79d71b4cb0a89ULL;
inline constexpr uint8_t kDeBruijnBit[64] = {0,  1,  48, 2,  57, 49, 28, 3,  61, 58, 50, 42, 38, 29, 17, 4,
                                             62, 55, 59, 36, 53, 51, 43, 22, 45, 39, 33, 30, 24, 18, 12, 5,
                                             63, 47, 56, 27, 60, 41, 37, 16, 54, 35, 52, 21, 44, 32, 23, 11,
                                             46, 26, 40, 15, 34, 20, 31, 10, 25, 14, 19, 9,  13, 8,  7,  6};
inline int bit_index(uint64_t single_bit) { return kDeBruijnBit[(single_bit * kDeBruijn64) >> 58]; }
}  // namespace portable_detail

// Trailing zero bits of x != 0.
inline int ctz64(uint64_t x) {
#if defined(VQ_GNU_BUILTINS)
    return __builtin_ctzll(x);
#elif defined(VQ_MSVC_INTRINSICS) && (defined(_M_X64) || defined(_M_ARM64))
    unsigned long i;
    _BitScanForward64(&i, x);
    return static_cast<int>(i);
#else
    return portable_detail::bit_index(x & (~x + 1));
#endif
}

// Leading zero bits of x != 0.
inline int clz64(uint64_t x) {
#if defined(VQ_GNU_BUILTINS)
    return __builtin_clzll(x);
#elif defined(VQ_MSVC_INTRINSICS) && (defined(_M_X64) || defined(_M_ARM64))
    unsigned long i;
    _BitScanReverse64(&i, x);
    return 63 - static_cast<int>(i);
#else
    for (int s = 1; s < 64; s *= 2) x |= x >> s;  // every bit below the highest set
    return 63 - portable_detail::bit_index((x >> 1) + 1);
#endif
}

inline int ctz32(uint32_t x) {
#if defined(VQ_GNU_BUILTINS)
    return __builtin_ctz(x);
#else
    return ctz64(x);
#endif
}

inline int clz32(uint32_t x) {
#if defined(VQ_GNU_BUILTINS)
    return __builtin_clz(x);
#else
    return clz64(x) - 32;
#endif
}

// The high 64 bits of the 128-bit product a * b.
inline uint64_t mul_high64(uint64_t a, uint64_t b) {
#if defined(VQ_GNU_BUILTINS) && defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 u128;
    return static_cast<uint64_t>((static_cast<u128>(a) * b) >> 64);
#elif defined(VQ_MSVC_INTRINSICS) && (defined(_M_X64) || defined(_M_ARM64))
    return __umulh(a, b);
#else
    const uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
    const uint64_t low = a0 * b0, mid1 = a1 * b0, mid2 = a0 * b1;
    const uint64_t carry = ((low >> 32) + (mid1 & 0xffffffffu) + (mid2 & 0xffffffffu)) >> 32;
    return a1 * b1 + (mid1 >> 32) + (mid2 >> 32) + carry;
#endif
}

// sin(theta) and cos(theta), by one call where the C library has it.
inline void sin_cos(double theta, double *s, double *c) {
#if defined(VQ_HAVE_SINCOS)
    ::sincos(theta, s, c);
#else
    *s = std::sin(theta);
    *c = std::cos(theta);
#endif
}

}  // namespace vq
