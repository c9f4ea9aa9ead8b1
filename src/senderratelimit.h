// How many announcements and requests an adapter answers per sender.
//
// Every host announcement and every client request is answered with a message to each
// endpoint of the sender's application (and version). A sender that repeats itself as
// fast as it can would otherwise make the adapter, and the bus, carry that many answers
// for each of its messages, and starve everyone else of both. The rule: each sender has
// a budget of `burst` answers that refills at `perSecond` answers a second; a message
// that finds the budget empty is not answered (the adapter counts it in its log). A host or a
// client sends one message and is always answered at once; only a sender over the rate loses
// answers.
//
// Senders are told apart by their endpoint id (the bus assigns it; a sender cannot
// choose another's). The table of senders is bounded: senders whose budget is full again
// are dropped when room is needed, and while every entry is still spending, a new sender
// is not answered (refusing is the safe side: the table cannot grow without end).
//
// Threads: any thread (the messaging library's threads). Locks: `mutex_` guards
// `senders_`, held only for the update. Ownership: owned by value by its
// adapter.
#ifndef CORVELLE_SENDERRATELIMIT_H
#define CORVELLE_SENDERRATELIMIT_H

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace corvelle {

class SenderRateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  SenderRateLimit(double perSecond, double burst, size_t maxSenders)
      : perSecond_(perSecond), burst_(burst), maxSenders_(maxSenders) {}

  // Spends one answer of `sender`'s budget at `now`; false when it is empty.
  bool allow(const std::string& sender, Clock::time_point now);

 private:
  struct Budget {
    double tokens;
    Clock::time_point at;
  };
  double refilled(const Budget& budget, Clock::time_point now) const;

  const double perSecond_;
  const double burst_;
  const size_t maxSenders_;
  std::mutex mutex_;
  std::unordered_map<std::string, Budget> senders_;  // guarded by mutex_
};

}  // namespace corvelle

#endif  // CORVELLE_SENDERRATELIMIT_H
