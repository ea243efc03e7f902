// Module vornaquill.pareto_core._pareto_rating_cy.
#include "py_entry.hpp"

namespace vq {
namespace {

constexpr const char kModuleDoc[] =
    "Pareto rating of one population: fronts, within-front crowding distance and a global order.\n\n"
    "All objectives are minimised; NaN ranks after every number. The C-level function\n"
    "`rate_population_inplace` is exported through `__pyx_capi__` for the selection kernels.\n";

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(rating_exec)},
    {0, nullptr},
};

PyModuleDef rating_def = {
    PyModuleDef_HEAD_INIT, "_pareto_rating_cy", kModuleDoc, 0, kRatingMethods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vq

PyMODINIT_FUNC PyInit__pareto_rating_cy(void) { return PyModuleDef_Init(&vq::rating_def); }
