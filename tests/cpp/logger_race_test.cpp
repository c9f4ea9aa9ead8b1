// The logger's threshold is set on the script thread while log sites on the messaging
// library's threads read it. Built with ThreadSanitizer, which fails this program when
// the two accesses race.
#include <atomic>
#include <sstream>
#include <thread>

#include "teststreamlogger.h"

int main() {
  std::ostringstream out;
  corvelle::TestStreamLogger logger(out, corvelle::LOG_INFO);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    int enabled = 0;
    while (!stop.load()) enabled += logger.isEnabled(corvelle::LOG_INFO) ? 1 : 0;
    return enabled;
  });
  for (int i = 0; i < 20000; ++i) {
    logger.setLevel(i % 2 == 0 ? corvelle::LOG_INFO : corvelle::LOG_DEBUG);
    if (logger.getLevel() < corvelle::LOG_INFO) return 1;
  }
  stop = true;
  reader.join();
  return 0;
}
