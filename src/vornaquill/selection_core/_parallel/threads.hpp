// Threads of the package's own: how many a call may have, and the one way they are started.
//
// A call runs task 0 on the calling thread and tasks 1 .. n-1 on threads of their own. One rule for
// a thread that cannot be started: no further thread is started, the threads already running are
// told to stop and joined, and the call fails with RuntimeError (raise_thread_start_failed).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace vq {
namespace par {

// Most threads one call may ask for, whatever the machine: beyond a few per core more threads only
// cost memory (each has its own work arrays) and start-up time.
inline constexpr int32_t kMaxThreads = 256;

// Every core this process may run on (at least 1; at most kMaxThreads).
int32_t available_cores();

// RuntimeError "can't start new thread"; returns -1.
int raise_thread_start_failed();

class ThreadGroup {
public:
    ThreadGroup() = default;
    ThreadGroup(const ThreadGroup &) = delete;
    ThreadGroup &operator=(const ThreadGroup &) = delete;
    ~ThreadGroup() { join(); }

    // task(t) for t = 1 .. n-1, each on a new thread. False when one could not be started: the
    // ones started before it run on, and the caller stops them and joins.
    template <class Task>
    bool start(int32_t n, Task task) noexcept {
        try {
            threads_.reserve(n > 1 ? static_cast<size_t>(n - 1) : 0);
            for (int32_t t = 1; t < n; ++t) threads_.emplace_back(task, t);
        } catch (...) {  // std::system_error (no thread) or std::bad_alloc
            return false;
        }
        return true;
    }

    void join() noexcept {
        for (std::thread &t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
    }

private:
    std::vector<std::thread> threads_;
};

}  // namespace par
}  // namespace vq
