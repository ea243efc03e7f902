// The function type of the module's public functions: a callable with the fast calling
// convention that binds Python arguments to typed parameter slots, converts each scalar to its
// native type, and answers introspection like a Python function (name, defaults, code object).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "arguments.hpp"

namespace vq {

inline constexpr int kMaxParams = kNumParams;

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
