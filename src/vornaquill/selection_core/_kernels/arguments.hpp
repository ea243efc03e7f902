// The kernels' parameters: one slot per parameter in signature order, with its native type and
// default, and the conversion of a Python value to that type. The kernel module's functions and
// the threaded functions both bind their arguments to these slots and convert them here, so they
// accept and refuse exactly the same values.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>

#include "kernels.hpp"

namespace vq {

enum class ParamKind { Object, Int32, UInt64, Int64, Double };

// One converted argument; the member in use follows the parameter's kind. The constructors let
// a parameter table with its defaults be a compile-time constant.
union ArgValue {
    constexpr ArgValue() : obj(nullptr) {}
    constexpr explicit ArgValue(int32_t v) : i32(v) {}
    constexpr explicit ArgValue(uint64_t v) : u64(v) {}
    constexpr explicit ArgValue(int64_t v) : i64(v) {}
    constexpr explicit ArgValue(double v) : f64(v) {}

    PyObject *obj;  // borrowed from the caller for the duration of the call
    int32_t i32;
    uint64_t u64;
    int64_t i64;
    double f64;
};

struct ParamSpec {
    const char *name;
    ParamKind kind;
    ArgValue default_value;  // unused for required parameters
};

// The parameter slots, in signature order. mc_rank_select_detailed takes all of them;
// mc_rank_counts and mc_rank_select take the first kCountsParams; the first kRequiredParams have no
// default.
// clang-format off
enum Param : int {
    kMuObj, kSigma2Obj, kNSamples,                     // required
    kPercentile, kSeed, kModeI, kWithinModeI,          // optional, all three functions
    kQuantilesModeI, kQuantilesBudget,                 // optional, detailed only: quantiles
    kQualityWPlace, kQualityWFront, kQualityWWithin, kQualitySign,  // ... and the quality score
    kNumParams,
};
// clang-format on
inline constexpr int kRequiredParams = kPercentile;
inline constexpr int kCountsParams = kQuantilesModeI;

// Names (those of the kernel module), native types and defaults (kernels.hpp) of every parameter;
// the kernel module's `__defaults__`, and so its signatures, are built from it, and omitted values
// are filled from here, e.g. quality_sign's -1.0.
inline constexpr std::array<ParamSpec, kNumParams> kParams = [] {
    auto param = [](const char *name, ParamKind kind, ArgValue d = ArgValue()) {
        return ParamSpec{name, kind, d};
    };
    const DetailedOptions &o = kDefaultOptions;
    std::array<ParamSpec, kNumParams> p{};
    p[kMuObj] = param("mu_obj", ParamKind::Object);
    p[kSigma2Obj] = param("sigma2_obj", ParamKind::Object);
    p[kNSamples] = param("n_samples", ParamKind::Int32);
    p[kPercentile] = param("percentile", ParamKind::Double, ArgValue(o.percentile));
    p[kSeed] = param("seed", ParamKind::UInt64, ArgValue(o.seed));
    p[kModeI] = param("mode_i", ParamKind::Int32, ArgValue(o.mode_i));
    p[kWithinModeI] = param("within_mode_i", ParamKind::Int32, ArgValue(o.within_mode_i));
    p[kQuantilesModeI] = param("quantiles_mode_i", ParamKind::Int32, ArgValue(o.quantiles_mode_i));
    p[kQuantilesBudget] = param("quantiles_budget", ParamKind::Int64, ArgValue(o.quantiles_budget));
    p[kQualityWPlace] = param("quality_w_place", ParamKind::Double, ArgValue(o.quality_w_place));
    p[kQualityWFront] = param("quality_w_front", ParamKind::Double, ArgValue(o.quality_w_front));
    p[kQualityWWithin] = param("quality_w_within", ParamKind::Double, ArgValue(o.quality_w_within));
    p[kQualitySign] = param("quality_sign", ParamKind::Double, ArgValue(o.quality_sign));
    return p;
}();

constexpr bool every_slot_named() {
    for (const ParamSpec &p : kParams)
        if (!p.name) return false;
    return true;
}
static_assert(every_slot_named(), "every parameter slot has its row in kParams");

// The values of slots 0 .. n-1 of `params`: given[i] converted to its slot's type, or the slot's
// default where given[i] is NULL (required slots are always given). 0, or -1 with an exception.
int convert_args(const ParamSpec *params, PyObject *const *given, int n, ArgValue *values);

// The option records from converted slots (counts: the first kCountsParams).
CountsOptions counts_options(const ArgValue *a);
DetailedOptions detailed_options(const ArgValue *a);

}  // namespace vq
