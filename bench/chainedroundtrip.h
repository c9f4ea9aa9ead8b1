// The library's round trip measured the way the raw baseline measures its own: one message
// in flight, and each answer handled on the thread it arrives on. The listener, on the
// library's thread, takes the arrival time of an answer and sends the next message itself,
// from inside Receive, until the run's count is reached; the thread that started the run
// waits once, for its end. Each sample is the time from a send to the arrival of its
// answer. Every message carries its sequence number as payload, and an answer counts only
// when it carries the number in flight, so a late answer from before the run (the
// participant's knocks) cannot put a second message in flight.
//
// Threads: run() on the main thread, which sends the first message; Receive on the
// library's thread, which sends every later one. mutex_ guards the whole state of a run;
// each side copies out what it sends under it and sends unlocked. Does not own the
// dispatcher; the caller adds this listener before run() and removes it after.
#ifndef OSTREL_BENCH_CHAINEDROUNDTRIP_H
#define OSTREL_BENCH_CHAINEDROUNDTRIP_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/OstrelMessage5.h"
#include "samples.h"

namespace ostrel_bench {

namespace api5 = quorlen::ostrel::api5;

class ChainedRoundTrip final : public api5::IOstrelMessageListener {
 public:
  ChainedRoundTrip(api5::IOstrelMessageDispatcher* dispatcher, std::string type,
                   std::vector<api5::EndPoint> echo)
      : dispatcher_(dispatcher), type_(std::move(type)), echo_(std::move(echo)) {}

  // `warmUp` round trips, then `count` timed ones. True once the last answer has arrived;
  // false when a send is refused or the run does not end within `timeout`, with the reason
  // in `error`.
  bool run(long warmUp, long count, std::chrono::milliseconds timeout, std::string* error);
  // The timed samples of the last run, in microseconds.
  Samples samples();

  void Receive(const api5::OstrelMessage& message) override;

 private:
  api5::IOstrelMessageDispatcher* const dispatcher_;
  const std::string type_;
  const std::vector<api5::EndPoint> echo_;
  // Sends one message with `payload` to the echo peer; called unlocked.
  api5::OstrelMessageErrorCode send(const std::string& payload);
  // Under mutex_: ends the run, with the code of a refused send or OSTREL_OK.
  void finishLocked(api5::OstrelMessageErrorCode refused);

  std::mutex mutex_;
  std::condition_variable finished_;
  bool running_ = false;                                    // mutex_
  long sequence_ = 0;                                       // mutex_: the message in flight
  long warmUp_ = 0;                                         // mutex_
  long total_ = 0;                                          // mutex_: warm-up and timed
  std::string inFlight_;                                    // mutex_: its payload
  int64_t sentNs_ = 0;                                      // mutex_: its send time
  api5::OstrelMessageErrorCode refused_ = api5::OSTREL_OK;  // mutex_: a send's error
  Samples us_;                                              // mutex_
};

}  // namespace ostrel_bench

#endif  // OSTREL_BENCH_CHAINEDROUNDTRIP_H
