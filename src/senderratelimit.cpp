#include "senderratelimit.h"

#include <algorithm>
#include <iterator>

namespace corvelle {

double SenderRateLimit::refilled(const Budget& budget, Clock::time_point now) const {
  const double seconds = std::chrono::duration<double>(now - budget.at).count();
  return std::min(burst_, budget.tokens + std::max(0.0, seconds) * perSecond_);
}

bool SenderRateLimit::allow(const std::string& sender, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = senders_.find(sender);
  if (found == senders_.end()) {
    if (senders_.size() >= maxSenders_) {
      for (auto it = senders_.begin(); it != senders_.end();) {
        it = refilled(it->second, now) >= burst_ ? senders_.erase(it) : std::next(it);
      }
      if (senders_.size() >= maxSenders_) return false;
    }
    found = senders_.emplace(sender, Budget{burst_, now}).first;
  }
  Budget& budget = found->second;
  budget.tokens = refilled(budget, now);
  budget.at = now;
  if (budget.tokens < 1.0) return false;
  budget.tokens -= 1.0;
  return true;
}

}  // namespace corvelle
