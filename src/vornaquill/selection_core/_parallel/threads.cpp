#include "threads.hpp"

#if defined(__linux__)
#include <sched.h>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

#include <bitset>

namespace vq {
namespace par {

namespace {

// The cores the system lets this process use, or 0 when it does not say: Linux's affinity mask
// (taskset, cgroup cpusets), macOS's active cores (it has no affinity), Windows' process affinity
// mask (the cores of the process's processor group that it may use).
int32_t system_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return CPU_COUNT(&set);
#elif defined(__APPLE__)
    int n = 0;
    size_t size = sizeof(n);
    if (sysctlbyname("hw.activecpu", &n, &size, nullptr, 0) == 0) return n;
#elif defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        return static_cast<int32_t>(std::bitset<64>(process).count());
#endif
    return 0;
}

}  // namespace

int32_t available_cores() {
    int32_t n = system_cores();
    if (n <= 0) n = static_cast<int32_t>(std::thread::hardware_concurrency());
    return n < 1 ? 1 : n < kMaxThreads ? n : kMaxThreads;
}

int raise_thread_start_failed() {
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return -1;
}

}  // namespace par
}  // namespace vq
