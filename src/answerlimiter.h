// Which senders of server information an adapter still answers.
//
// An adapter with no script callback answers server information with its own server
// information, addressed to the sender's application. Two such adapters (two services)
// would answer each other without end, and with a third every answer fans out to two
// more; one stray message is enough to start it. The rule that ends it: server
// information from one sender is answered only when that sender has sent none in the
// quiet period before it. Every message from the sender, answered or not, restarts its
// period, so an exchange that is still going on is never answered again, and a single
// message is answered once, as before.
//
// Senders are told apart by their endpoint id (the bus assigns it; a sender cannot
// choose another's). The table of recent senders is bounded: entries older than the
// quiet period are dropped when room is needed, and while every entry is recent a new
// sender is not answered (refusing an answer is the safe side; it cannot start a loop).
//
// Threads: any thread (the messaging library's threads). Locks: `mutex_` guards
// `lastSeen_`, held only for the table update. Ownership: owned by value by its adapter.
#ifndef CORVELLE_ANSWERLIMITER_H
#define CORVELLE_ANSWERLIMITER_H

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace corvelle {

class AnswerLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  AnswerLimiter(Clock::duration quietPeriod, size_t maxSenders)
      : quietPeriod_(quietPeriod), maxSenders_(maxSenders) {}

  // Records server information from `sender` at `now`; true when it is to be answered.
  bool shouldAnswer(const std::string& sender, Clock::time_point now);

 private:
  const Clock::duration quietPeriod_;
  const size_t maxSenders_;
  std::mutex mutex_;
  std::unordered_map<std::string, Clock::time_point> lastSeen_;  // guarded by mutex_
};

}  // namespace corvelle

#endif  // CORVELLE_ANSWERLIMITER_H
