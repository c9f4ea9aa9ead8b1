// One participant of the benchmark: the measuring side (records arrival times and wakes
// the waiting thread once the count it waits for is reached, not per message, so that the
// waiting side adds no wake-up to the receive path it measures) or a peer role (echo,
// blast) run in a child process.
//
// Threads: Receive runs on the library's thread; the wait functions on the main thread.
// `mutex_` guards the count, the count waited for and the arrival records; the main
// thread sends without holding it.
#ifndef OSTREL_BENCH_BENCHPARTICIPANT_H
#define OSTREL_BENCH_BENCHPARTICIPANT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "monotonicclock.h"
#include "ostrel/OstrelMessage5.h"

namespace ostrel_bench {

namespace api5 = quorlen::ostrel::api5;

class BenchParticipant final : public api5::IOstrelMessageListener {
 public:
  enum class Mode { kRecord, kEcho };

  BenchParticipant(api5::IOstrelMessageDispatcher* dispatcher, Mode mode)
      : dispatcher_(dispatcher), mode_(mode) {}

  void Receive(const api5::OstrelMessage& message) override;

  // Waits until `count` messages have arrived in total; false on timeout.
  bool waitForCount(size_t count, std::chrono::milliseconds timeout);
  size_t count();
  // Arrival time and payload of each recorded message (Mode::kRecord).
  std::vector<std::pair<int64_t, std::string>> arrivals();
  void clear();

  // Joins as `appId`; nullptr when the bus cannot be joined within `timeout`.
  static api5::IOstrelMessageDispatcher* join(const std::string& appId,
                                              std::chrono::milliseconds timeout);
  // The endpoints of `appId`, waiting up to `timeout` for at least one.
  static std::vector<api5::EndPoint> endPointsOf(api5::IOstrelMessageDispatcher* dispatcher,
                                                 const std::string& appId,
                                                 std::chrono::milliseconds timeout);
  static api5::OstrelMessageErrorCode send(api5::IOstrelMessageDispatcher* dispatcher,
                                           const std::string& type, const std::string& payload,
                                           const std::vector<api5::EndPoint>& destinations);

 private:
  api5::IOstrelMessageDispatcher* const dispatcher_;
  const Mode mode_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  size_t count_ = 0;   // mutex_
  size_t wanted_ = 0;  // mutex_: the count a waiter waits for; 0 while nobody waits
  std::vector<std::pair<int64_t, std::string>> arrivals_;  // mutex_
};

}  // namespace ostrel_bench

#endif  // OSTREL_BENCH_BENCHPARTICIPANT_H
