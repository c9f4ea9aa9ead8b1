// The live list of the other participants on the bus, keyed by unique bus name.
//
// Threads: written by the library thread (from ListNames answers, name-owner notices and
// property answers), read by any thread through GetEndPoints. `mutex_` guards
// `entries_`; no other lock is taken while it is held.
//
// Order: unique names compare by their dot-separated numbers (":1.9" before ":1.10"),
// which is the order in which the connections joined the bus, so the list is stable.
#ifndef OSTREL_DBUS_ENDPOINTDIRECTORY_H
#define OSTREL_DBUS_ENDPOINTDIRECTORY_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel_dbus {

struct UniqueNameOrder {
  bool operator()(const std::string& a, const std::string& b) const;
};

struct DirectoryEntry {
  std::string id;
  std::string appId;
  std::string appVersion;
};

class EndPointDirectory {
 public:
  // True when the entry is new or its texts changed.
  bool put(const DirectoryEntry& entry);
  // True when there was such an entry.
  bool remove(const std::string& id);
  bool contains(const std::string& id) const;
  std::vector<std::string> ids() const;
  std::vector<DirectoryEntry> list() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, DirectoryEntry, UniqueNameOrder> entries_;
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_ENDPOINTDIRECTORY_H
