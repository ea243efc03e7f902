// The function type of the module's public functions: a callable with the fast calling
// convention that binds Python arguments to typed parameter slots, converts each scalar to its
// native type, and answers introspection like a Python function (name, defaults, code object).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

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

inline constexpr int kMaxParams = 13;

// The kernel behind a function: receives the defining module (its namespace holds `np`) and
// every parameter value, defaults filled in. Returns a new reference or NULL with an exception.
using KernelEntry = PyObject *(*)(PyObject *module, const ArgValue *args);

struct FunctionSpec {
    const char *name;
    const char *doc;
    const ParamSpec *params;
    int n_params;
    int n_required;
    KernelEntry entry;
};

// Make the type ready (idempotent); 0 on success, -1 with an exception.
int function_type_ready();

// A new function object for `spec`, bound to `module`, with `__module__` set to `module_name`.
PyObject *function_new(const FunctionSpec *spec, PyObject *module, PyObject *module_name);

}  // namespace vq
