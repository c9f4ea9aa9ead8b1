#include "repeatfilter.h"

#include <iterator>

namespace corvelle {

RepeatFilter::Line RepeatFilter::counted(const Seen& seen) {
  Line line = seen.last;
  line.text += " (repeated " + std::to_string(seen.repeats) + " times)";
  return line;
}

void RepeatFilter::takeDue(Clock::time_point now, std::vector<Line>* due) {
  for (auto& entry : sites_) {
    Seen& seen = entry.second;
    if (seen.repeats == 0 || now - seen.writtenAt < kWindow) continue;
    due->push_back(counted(seen));
    seen.repeats = 0;
    seen.writtenAt = now;
  }
}

bool RepeatFilter::admit(const Line& line, Clock::time_point now, std::vector<Line>* due) {
  std::lock_guard<std::mutex> lock(mutex_);
  takeDue(now, due);
  Key key{line.file, line.line, line.text};
  auto found = sites_.find(key);
  if (found == sites_.end()) {
    if (sites_.size() >= kMaxLines) {
      for (auto it = sites_.begin(); it != sites_.end();) {
        it = it->second.repeats == 0 && now - it->second.writtenAt >= kWindow ? sites_.erase(it)
                                                                              : std::next(it);
      }
      if (sites_.size() >= kMaxLines) return true;
    }
    sites_.emplace(std::move(key), Seen{now, 0, Line()});
    return true;
  }
  Seen& seen = found->second;
  if (seen.repeats == 0 && now - seen.writtenAt >= kWindow) {
    seen.writtenAt = now;
    return true;
  }
  ++seen.repeats;
  seen.last = line;
  return false;
}

void RepeatFilter::takeAll(std::vector<Line>* due) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : sites_) {
    Seen& seen = entry.second;
    if (seen.repeats == 0) continue;
    due->push_back(counted(seen));
    seen.repeats = 0;
  }
}

RepeatFilter& repeatFilter() {
  // Never destroyed: library threads may still log while the process exits.
  static RepeatFilter* filter = new RepeatFilter;
  return *filter;
}

}  // namespace corvelle
