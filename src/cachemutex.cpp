#include "cachemutex.h"

#include <cstdio>
#include <cstdlib>

namespace corvelle {

uv_mutex_t& cacheMutex() {
  static uv_mutex_t* mutex = [] {
    auto* m = new uv_mutex_t;
    const int cacheInitedMutex = uv_mutex_init(m);
    CORVELLE_ASSERT(0 == cacheInitedMutex);
    return m;
  }();
  return *mutex;
}

void assertionFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s (%s:%d)\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace corvelle
