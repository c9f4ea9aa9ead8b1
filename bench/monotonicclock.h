// The one clock of the benchmark's programs.
#ifndef OSTREL_BENCH_MONOTONICCLOCK_H
#define OSTREL_BENCH_MONOTONICCLOCK_H

#include <time.h>

#include <cstdint>

namespace ostrel_bench {

// CLOCK_MONOTONIC in nanoseconds: one clock for every process of the machine, so a send
// time stamped by one process can be compared with an arrival time in another.
inline int64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace ostrel_bench

#endif  // OSTREL_BENCH_MONOTONICCLOCK_H
