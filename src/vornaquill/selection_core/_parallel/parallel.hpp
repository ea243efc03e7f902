// The three multi-threaded entries: the kernels' arguments plus the number of threads (already
// resolved, >= 1), the ties rule and the progress callback. Each watches for signals while it
// samples: Ctrl-C stops it with KeyboardInterrupt. Each returns a new result tuple, or NULL with an exception.
#pragma once
#include "numpy_api.hpp"

#include <cstdint>

#include "kernels.hpp"

namespace vq {
namespace par {

struct Threading {
    int32_t threads = 1;
    bool shuffle = false;          // ties="random": every sample presents the rows in a fresh order
    PyObject *progress = nullptr;  // borrowed; called with (samples done, total); null or None: none
};

PyObject *counts(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                 const CountsOptions &opt, const Threading &th);
PyObject *select(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                 const CountsOptions &opt, const Threading &th);
PyObject *select_detailed(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                          const DetailedOptions &opt, const Threading &th);

}  // namespace par
}  // namespace vq
