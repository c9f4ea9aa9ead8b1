// The count of messages a receiver has taken so far, shared through a small file between
// the receiver (which writes it every kEvery messages) and the sender (which reads it to
// stay at most a window ahead). The bus drops messages for a receiver that falls too far
// behind; pacing the sender by the receiver's own count keeps every run loss-free,
// whatever the receiver is (native, script, or another library).
//
// Threads: one object per process, used by one thread.
#ifndef OSTREL_BENCH_PROGRESSFILE_H
#define OSTREL_BENCH_PROGRESSFILE_H

#include <string>

namespace ostrel_bench {

class ProgressFile {
 public:
  static constexpr long kEvery = 256;

  explicit ProgressFile(const std::string& path);
  ~ProgressFile();
  ProgressFile(const ProgressFile&) = delete;
  ProgressFile& operator=(const ProgressFile&) = delete;

  void write(long count);
  long read();

 private:
  int fd_ = -1;
};

}  // namespace ostrel_bench

#endif  // OSTREL_BENCH_PROGRESSFILE_H
