#include "progressfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace ostrel_bench {

ProgressFile::ProgressFile(const std::string& path)
    : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {}

ProgressFile::~ProgressFile() {
  if (fd_ >= 0) close(fd_);
}

// A fixed-width record written in one pwrite, so a reader never sees a mix of two counts.
void ProgressFile::write(long count) {
  char text[24];
  const int n = std::snprintf(text, sizeof text, "%20ld\n", count);
  if (fd_ >= 0 && pwrite(fd_, text, static_cast<size_t>(n), 0) < 0) return;
}

long ProgressFile::read() {
  char text[24] = {};
  if (fd_ < 0 || pread(fd_, text, sizeof text - 1, 0) <= 0) return 0;
  return std::atol(text);
}

}  // namespace ostrel_bench
