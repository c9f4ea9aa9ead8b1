// What the handlers run inside sd_bus_process() record for the listeners and refresh
// callbacks. They run with the connection's lock held and so never call out themselves;
// the library thread delivers the recorded events after it has released that lock.
//
// Threads: a list of events belongs to whoever holds the lock that guards it (the
// dispatcher's busMutex_); the library thread swaps it out under that lock.
#ifndef OSTREL_DBUS_BUSEVENTS_H
#define OSTREL_DBUS_BUSEVENTS_H

#include <memory>
#include <vector>

#include "ostrel/OstrelMessage5.h"

namespace ostrel_dbus {

namespace api5 = quorlen::ostrel::api5;

struct BusEvent {
  // kRefreshed: a listing round completed, or the list was emptied by a loss; the
  // refresh callbacks are told at once. kChanged: a join or a departure changed the list;
  // the callbacks may be told once for several of them.
  enum class Kind { kMessage, kError, kRefreshed, kChanged } kind;
  std::shared_ptr<api5::OstrelMessage> message;  // null for kRefreshed and kChanged
};

using BusEvents = std::vector<BusEvent>;

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_BUSEVENTS_H
