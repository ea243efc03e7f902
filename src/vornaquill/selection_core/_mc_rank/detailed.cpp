// Detailed selection: the detailed sampling pass and its results.
#include "kernels.hpp"

namespace vq {

PyObject *mc_rank_select_detailed(PyObject *, PyObject *, PyObject *, int32_t, const DetailedOptions &) {
    PyErr_SetString(PyExc_NotImplementedError, "mc_rank_select_detailed is not available yet");
    return nullptr;
}

}  // namespace vq
