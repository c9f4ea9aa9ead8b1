// The running participant of ostrel-peer: prints each received message as a JSON line,
// answers it when echoing, and counts what arrived.
//
// Threads: Receive runs on the messaging library's thread; waitFor(), stop() and print()
// on any thread. `mutex_` guards `received_`, `stopped_` and `busLost_`; `printMutex_` keeps lines
// whole when two threads print. No lock is held while calling the library.
#ifndef OSTREL_PEER_PEERSESSION_H
#define OSTREL_PEER_PEERSESSION_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "ostrel/OstrelMessage5.h"

namespace ostrel_peer {

namespace api5 = quorlen::ostrel::api5;

class PeerSession final : public api5::IOstrelMessageListener {
 public:
  PeerSession(api5::IOstrelMessageDispatcher* dispatcher, bool echo, bool quiet)
      : dispatcher_(dispatcher), echo_(echo), quiet_(quiet) {}

  void Receive(const api5::OstrelMessage& message) override;

  // Waits until `count` messages arrived (count < 0: never), the deadline passed (when
  // there is one) or stop() was called. True when the count was reached.
  bool waitFor(long count, bool hasDeadline, std::chrono::steady_clock::time_point deadline);
  void stop();
  // True once the library reported the connection to the bus lost.
  bool busLost();
  long received();

  void print(const std::string& line);
  static std::string describe(const api5::OstrelMessage& message);
  static std::string describe(const api5::EndPoint& endPoint, const char* idKey);

 private:
  api5::IOstrelMessageDispatcher* const dispatcher_;
  const bool echo_;
  const bool quiet_;
  std::mutex mutex_;
  std::condition_variable changed_;
  long received_ = 0;
  bool stopped_ = false;
  bool busLost_ = false;
  std::mutex printMutex_;
};

}  // namespace ostrel_peer

#endif  // OSTREL_PEER_PEERSESSION_H
