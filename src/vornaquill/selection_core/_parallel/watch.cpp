#include "watch.hpp"

namespace vq {
namespace par {

Watch::Watch(PyObject *progress, int32_t total)
    : thread_(PyThreadState_Get()), progress_(progress == Py_None ? nullptr : progress), total_(total),
      next_(Clock::now() + kLookInterval) {}

int Watch::report(int32_t done) {
    if (!progress_ || done <= reported_) return 0;
    reported_ = done;
    PyObject *r = PyObject_CallFunction(progress_, "ii", done, total_);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

bool Watch::look(int32_t done) {
    PyEval_RestoreThread(thread_);
    const bool go_on = PyErr_CheckSignals() == 0 && report(done) == 0;
    PyEval_SaveThread();
    next_ = Clock::now() + kLookInterval;
    return go_on;
}

}  // namespace par
}  // namespace vq
