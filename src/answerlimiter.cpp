#include "answerlimiter.h"

namespace corvelle {

bool AnswerLimiter::shouldAnswer(const std::string& sender, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = lastSeen_.find(sender);
  if (found != lastSeen_.end()) {
    const bool quiet = now - found->second >= quietPeriod_;
    found->second = now;
    return quiet;
  }
  if (lastSeen_.size() >= maxSenders_) {
    for (auto it = lastSeen_.begin(); it != lastSeen_.end();) {
      it = now - it->second >= quietPeriod_ ? lastSeen_.erase(it) : std::next(it);
    }
    if (lastSeen_.size() >= maxSenders_) return false;
  }
  lastSeen_.emplace(sender, now);
  return true;
}

}  // namespace corvelle
