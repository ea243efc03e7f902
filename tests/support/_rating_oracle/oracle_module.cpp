// Module vornaquill._testing._rating_oracle: the reference rating with the product's Python entry
// `rate_population` and the same `__pyx_capi__` export, for equivalence tests. It differs from the
// product only in its rating algorithm (simple_rating.cpp): the product's buffer checks, C-level
// entry and Python entry are linked in as they are (CMake's object library vq_rating_entries).
#include "numpy_api.hpp"

#include "py_entry.hpp"

namespace vq {
namespace {

// NumPy's C API first (through the helper that keeps the underlying error), then the export.
int exec_module(PyObject *module) {
    if (import_numpy_api() < 0) return -1;
    return rating_exec(module);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

// clang-format off
PyModuleDef oracle_def = {
    PyModuleDef_HEAD_INIT, "_rating_oracle", "Reference Pareto rating (test support).", 0, kRatingMethods, slots,
    nullptr, nullptr, nullptr,
};
// clang-format on

}  // namespace
}  // namespace vq

PyMODINIT_FUNC PyInit__rating_oracle(void) { return PyModuleDef_Init(&vq::oracle_def); }
