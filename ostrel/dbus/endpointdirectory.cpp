#include "endpointdirectory.h"

namespace ostrel_dbus {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The end of the run of digits, or of other characters, that starts at `start`.
size_t runEnd(const std::string& text, size_t start) {
  const bool digits = isDigit(text[start]);
  size_t end = start;
  while (end < text.size() && isDigit(text[end]) == digits) ++end;
  return end;
}

}  // namespace

// Walks both names run by run, in place: this runs for every comparison of the directory
// and of each listing, so it allocates nothing.
bool UniqueNameOrder::operator()(const std::string& a, const std::string& b) const {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const size_t endA = runEnd(a, i);
    const size_t endB = runEnd(b, j);
    if (isDigit(a[i]) && isDigit(b[j])) {
      // Numbers compare by value: skip leading zeros (keeping the last digit), then the
      // longer is larger, and equal lengths compare digit by digit.
      while (i + 1 < endA && a[i] == '0') ++i;
      while (j + 1 < endB && b[j] == '0') ++j;
      if (endA - i != endB - j) return endA - i < endB - j;
    }
    const int order = a.compare(i, endA - i, b, j, endB - j);
    if (order != 0) return order < 0;
    i = endA;
    j = endB;
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
