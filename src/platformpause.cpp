#include "platformpause.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <chrono>
#include <thread>
#endif

namespace corvelle {

void platformPause(unsigned milliseconds) {
#if defined(_WIN32)
  Sleep(milliseconds);
#else
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
#endif
}

}  // namespace corvelle
