#include "threads.hpp"

#include <sched.h>

namespace vq {
namespace par {

int32_t available_cores() {
    cpu_set_t set;
    int32_t n = 0;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) n = CPU_COUNT(&set);
    if (n <= 0) n = static_cast<int32_t>(std::thread::hardware_concurrency());
    return n < 1 ? 1 : n < kMaxThreads ? n : kMaxThreads;
}

int raise_thread_start_failed() {
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return -1;
}

}  // namespace par
}  // namespace vq
