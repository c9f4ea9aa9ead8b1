#include "handoff.h"

#include <cstdint>
#include <thread>

#include "monotonicclock.h"

namespace ostrel_bench {

Samples HandOff::measure(long warmUp, long count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    turn_ = Side::kCaller;
    stop_ = false;
  }
  std::thread partnerThread(&HandOff::partner, this);
  Samples us;
  for (long i = 0; i < warmUp + count; ++i) {
    const int64_t start = monotonicNs();
    pass(Side::kPartner);
    awaitTurn(Side::kCaller);
    if (i >= warmUp) us.add(static_cast<double>(monotonicNs() - start) / 2000.0);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  turned_.notify_all();
  partnerThread.join();
  return us;
}

void HandOff::pass(Side to) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    turn_ = to;
  }
  // One thread waits at a time: the side that passes goes on to wait only afterwards.
  turned_.notify_one();
}

bool HandOff::awaitTurn(Side side) {
  std::unique_lock<std::mutex> lock(mutex_);
  turned_.wait(lock, [&] { return turn_ == side || stop_; });
  return !stop_;
}

void HandOff::partner() {
  while (awaitTurn(Side::kPartner)) pass(Side::kCaller);
}

}  // namespace ostrel_bench
