// Module vornaquill._testing._rating_oracle: the reference rating with the product's Python entry
// `rate_population` and the same `__pyx_capi__` export, for equivalence tests.
#include "py_entry.hpp"

namespace vq {
namespace {

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(rating_exec)},
    {0, nullptr},
};

PyModuleDef oracle_def = {
    PyModuleDef_HEAD_INIT, "_rating_oracle", "Reference Pareto rating (test support).", 0, kRatingMethods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vq

PyMODINIT_FUNC PyInit__rating_oracle(void) { return PyModuleDef_Init(&vq::oracle_def); }
