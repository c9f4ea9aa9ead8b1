#include "wakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace ostrel_dbus {

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
  if (fd_ >= 0) close(fd_);
}

void Wakeup::notify() {
  const uint64_t one = 1;
  // A full counter already means "wake up"; nothing is lost when this write fails.
  [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

void Wakeup::drain() {
  uint64_t count;
  [[maybe_unused]] const ssize_t readBytes = read(fd_, &count, sizeof count);
}

}  // namespace ostrel_dbus
