// The process-wide lock of every adapter's endpoint cache and own endpoint.
//
// A libuv mutex, initialised once per process on first use (also when several
// environments load the module), never destroyed. CacheLock holds it for one scope, so
// that a failure while it is held (an allocation, a copy) cannot leave it locked.
#ifndef CORVELLE_CACHEMUTEX_H
#define CORVELLE_CACHEMUTEX_H

#include <uv.h>

namespace corvelle {

uv_mutex_t& cacheMutex();

class CacheLock {
 public:
  CacheLock() { uv_mutex_lock(&cacheMutex()); }
  ~CacheLock() { uv_mutex_unlock(&cacheMutex()); }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
};

// Stops the process when a condition that only a programming error can break fails.
[[noreturn]] void assertionFailed(const char* condition, const char* file, int line);

}  // namespace corvelle

#define CORVELLE_ASSERT(condition) \
  ((condition) ? (void)0 : ::corvelle::assertionFailed(#condition, __FILE__, __LINE__))

#endif  // CORVELLE_CACHEMUTEX_H
