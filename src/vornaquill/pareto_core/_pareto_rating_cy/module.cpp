// Module vornaquill.pareto_core._pareto_rating_cy.
#include "numpy_api.hpp"

#include "py_entry.hpp"

namespace vq {
namespace {

constexpr const char kModuleDoc[] =
    "Pareto rating of one population: fronts, within-front crowding distance and a global order.\n\n"
    "All objectives are minimised; NaN ranks after every number. The C-level function\n"
    "`rate_population_inplace` is exported through `__pyx_capi__` for the selection kernels.\n";

// NumPy's C API first (through the helper that keeps the underlying error), then the export.
int exec_module(PyObject *module) {
    if (import_numpy_api() < 0) return -1;
    return rating_exec(module);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef rating_def = {
    PyModuleDef_HEAD_INIT, "_pareto_rating_cy", kModuleDoc, 0, kRatingMethods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vq

PyMODINIT_FUNC PyInit__pareto_rating_cy(void) { return PyModuleDef_Init(&vq::rating_def); }
