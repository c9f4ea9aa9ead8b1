#include "endpointdirectory.h"

#include <algorithm>

namespace ostrel_dbus {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

// In place over both names: this runs for every comparison of the directory and of each
// listing (tens of thousands per refresh with a thousand participants), so it allocates
// nothing. The common text prefix is skipped first; the runs before the one in which
// the names part are equal, so the comparison by runs starts there.
bool UniqueNameOrder::operator()(const std::string& a, const std::string& b) const {
  const char* const textA = a.data();
  const char* const textB = b.data();
  const size_t sizeA = a.size();
  const size_t sizeB = b.size();
  const size_t common = std::min(sizeA, sizeB);
  size_t start = 0;
  while (start < common && textA[start] == textB[start]) ++start;
  if (start == sizeA && start == sizeB) return false;  // the same name
  if (start > 0) {
    const bool digits = isDigit(textA[start - 1]);
    while (start > 0 && isDigit(textA[start - 1]) == digits) --start;
  }
  size_t i = start;
  size_t j = start;
  while (i < sizeA && j < sizeB) {
    const bool digitA = isDigit(textA[i]);
    const bool digitB = isDigit(textB[j]);
    if (digitA && digitB) {
      // Numbers compare by value: without leading zeros the longer is larger, and equal
      // lengths compare digit by digit.
      while (i < sizeA && textA[i] == '0') ++i;
      while (j < sizeB && textB[j] == '0') ++j;
      size_t endA = i;
      size_t endB = j;
      while (endA < sizeA && isDigit(textA[endA])) ++endA;
      while (endB < sizeB && isDigit(textB[endB])) ++endB;
      if (endA - i != endB - j) return endA - i < endB - j;
      // Digit by digit in line: the numbers are short, a library call costs more.
      for (; i < endA; ++i, ++j) {
        if (textA[i] != textB[j]) return textA[i] < textB[j];
      }
    } else if (!digitA && !digitB) {
      // Other characters compare as text, run against run.
      while (i < sizeA && j < sizeB && textA[i] == textB[j] && !isDigit(textA[i])) {
        ++i;
        ++j;
      }
      const bool runEndedA = i == sizeA || isDigit(textA[i]);
      const bool runEndedB = j == sizeB || isDigit(textB[j]);
      if (runEndedA != runEndedB) return runEndedA;
      if (!runEndedA) {
        return static_cast<unsigned char>(textA[i]) < static_cast<unsigned char>(textB[j]);
      }
    } else {
      // A number against other characters: the first bytes decide, as in plain text.
      return static_cast<unsigned char>(textA[i]) < static_cast<unsigned char>(textB[j]);
    }
  }
  if ((i < sizeA) != (j < sizeB)) return j < sizeB;
  // Equal by value ("1" and "01"): fall back to the plain text so the order is total.
  return a < b;
}

bool EndPointDirectory::put(const DirectoryEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Looked up first: a listing round puts every entry again, and most are unchanged.
  const auto it = entries_.lower_bound(entry.id);
  if (it == entries_.end() || it->first != entry.id) {
    entries_.emplace_hint(it, entry.id, entry);
    return true;
  }
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
