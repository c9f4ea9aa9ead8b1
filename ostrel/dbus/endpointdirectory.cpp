#include "endpointdirectory.h"

namespace ostrel_dbus {
namespace {

// Splits off the next run of digits or of other characters.
std::string nextRun(const std::string& text, size_t* position) {
  const size_t start = *position;
  const bool digits = text[start] >= '0' && text[start] <= '9';
  size_t end = start;
  while (end < text.size() && (text[end] >= '0' && text[end] <= '9') == digits) ++end;
  *position = end;
  return text.substr(start, end - start);
}

bool isNumber(const std::string& run) {
  return !run.empty() && run[0] >= '0' && run[0] <= '9';
}

}  // namespace

bool UniqueNameOrder::operator()(const std::string& a, const std::string& b) const {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    std::string runA = nextRun(a, &i);
    std::string runB = nextRun(b, &j);
    if (isNumber(runA) && isNumber(runB)) {
      // Numbers compare by value: drop leading zeros, then the longer is larger.
      runA.erase(0, std::min(runA.find_first_not_of('0'), runA.size() - 1));
      runB.erase(0, std::min(runB.find_first_not_of('0'), runB.size() - 1));
      if (runA.size() != runB.size()) return runA.size() < runB.size();
    }
    if (runA != runB) return runA < runB;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  // Equal by value ("1" and "01"): fall back to the plain text so the order is total.
  return a < b;
}

bool EndPointDirectory::put(const DirectoryEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [it, inserted] = entries_.emplace(entry.id, entry);
  if (inserted) return true;
  if (it->second.appId == entry.appId && it->second.appVersion == entry.appVersion) return false;
  it->second = entry;
  return true;
}

bool EndPointDirectory::remove(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.erase(id) > 0;
}

bool EndPointDirectory::contains(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.count(id) > 0;
}

std::vector<std::string> EndPointDirectory::ids() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> ids;
  ids.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) ids.push_back(id);
  return ids;
}

std::vector<DirectoryEntry> EndPointDirectory::list() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<DirectoryEntry> list;
  list.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) list.push_back(entry);
  return list;
}

void EndPointDirectory::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

}  // namespace ostrel_dbus
