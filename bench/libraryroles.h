// Roles of ostrel-bench that measure the library on its own, each in its own process and
// each printing one line of JSON:
//   receive  counts messages in a listener and measures the process's CPU time per message;
//   refresh  times RefreshEndPoints until its callback runs, with the bus as it is;
//   joins    while others join, times the refresh callbacks (which copy the endpoint list,
//            as the module's adapter does) and the library thread's CPU.
#ifndef OSTREL_BENCH_LIBRARYROLES_H
#define OSTREL_BENCH_LIBRARYROLES_H

#include <string>
#include <vector>

namespace ostrel_bench {

struct ReceiveOptions {
  std::string progress;  // the progress file that paces the sender
  long warmup = 2000;
  long count = 20000;  // messages per measured run
  long runs = 5;
};
int runLibraryReceive(const ReceiveOptions& options);

int runLibraryRefresh(long samples);

// `marks`: numbers of joined participants at which the figures so far are reported.
int runLibraryJoins(const std::vector<long>& marks);

}  // namespace ostrel_bench

#endif  // OSTREL_BENCH_LIBRARYROLES_H
