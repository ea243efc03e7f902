// Scoped release of the interpreter lock: released on construction, re-taken on every exit.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq {

class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;

private:
    PyThreadState *state_;
};

}  // namespace vq
