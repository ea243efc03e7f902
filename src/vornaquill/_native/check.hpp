// VQ_ASSERT(condition): a check of an invariant that the code keeps by construction, in hot loops
// where a failed check in a release build would cost time for nothing. Compiled only where the
// build defines VQ_CHECKS=1 (the sanitizer build): there a failure prints the condition and its
// place and aborts. Everywhere else the condition is not evaluated (its names still count as used).
#pragma once

#if defined(VQ_CHECKS) && VQ_CHECKS
#include <cstdio>
#include <cstdlib>

namespace vq {
[[noreturn]] inline void check_failed(const char *condition, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: VQ_ASSERT(%s) failed\n", file, line, condition);
    std::abort();
}
}  // namespace vq

#define VQ_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : ::vq::check_failed(#condition, __FILE__, __LINE__))
#else
#define VQ_ASSERT(condition) static_cast<void>(sizeof(!(condition)))
#endif
