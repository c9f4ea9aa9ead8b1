// Two threads handing a token back and forth with a mutex and a condition variable, as a
// thread that receives hands a result to a thread that waits for it. One hand-off (half
// a ping-pong) is the wake-up that every such design pays per answer, whatever it
// receives with: the floor under a caller that waits for a listener on another thread.
//
// Threads: measure() runs on the calling thread and on a partner thread that it starts
// and joins before it returns. mutex_ guards turn_ and stop_; each side changes turn_
// under it and wakes the other after unlocking, as a listener wakes its waiter.
#ifndef OSTREL_BENCH_HANDOFF_H
#define OSTREL_BENCH_HANDOFF_H

#include <condition_variable>
#include <mutex>

#include "samples.h"

namespace ostrel_bench {

class HandOff {
 public:
  // `warmUp` ping-pongs, then `count` timed ones; one sample per timed ping-pong: half its
  // time, in microseconds.
  Samples measure(long warmUp, long count);

 private:
  enum class Side { kCaller, kPartner };

  void pass(Side to);
  // Waits until the token is at `side`; false once stop_ is set.
  bool awaitTurn(Side side);
  void partner();

  std::mutex mutex_;
  std::condition_variable turned_;
  Side turn_ = Side::kCaller;  // mutex_
  bool stop_ = false;          // mutex_
};

}  // namespace ostrel_bench

#endif  // OSTREL_BENCH_HANDOFF_H
