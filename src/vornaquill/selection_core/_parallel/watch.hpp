// What the calling thread does for the person waiting while the sampling runs without the
// interpreter lock: it reports (0, total) first; then every kLookInterval it re-takes the lock, runs the signal
// handlers (so Ctrl-C raises KeyboardInterrupt) and calls the progress callback with (samples done, total). An
// exception from either stops the sampling: the caller sets the stop flag, every thread stops at
// its next chunk, and the exception is raised once the threads are joined.
//
// Looking takes the lock for a few microseconds every 25 ms and touches no result: the samples,
// their order and every value are the same whether and when it happens.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>

namespace vq {
namespace par {

class Watch {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kLookInterval = std::chrono::milliseconds(25);

    // With the interpreter lock held, on the thread that will look. progress: borrowed, null or
    // None for no callback; it outlives the call.
    Watch(PyObject *progress, int32_t total);

    // Cheap, without the lock: is the next look due?
    bool due() const { return Clock::now() >= next_; }
    Clock::time_point next() const { return next_; }

    // Without the lock: take it, look, release it. False when the sampling must stop (the
    // exception stays set on this thread).
    bool look(int32_t done);

    // With the lock held: the first report, (0, total), before the sampling starts, and the last,
    // (total, total), after it. -1 with an exception from the callback.
    int start() { return report(0); }
    int finish() { return report(total_); }

private:
    int report(int32_t done);  // lock held

    PyThreadState *thread_;
    PyObject *progress_;
    int32_t total_;
    int32_t reported_ = -1;  // the last count given to the callback
    Clock::time_point next_;
};

}  // namespace par
}  // namespace vq
