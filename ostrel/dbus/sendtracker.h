// The send path: one signal per destination (or one broadcast), the bound on what may
// wait in sd-bus's write queue, and the bookkeeping that tells a sender which of its
// unicasts failed. The daemon answers a unicast whose destination has gone (or whose
// receiver's queue is full) with an error that names the signal's serial; each unicast is
// remembered until the daemon has certainly processed it, which a Peer.Ping on the
// daemon after a batch of sends proves (the daemon handles one connection's messages in
// order). Matched errors become DestinationUnreachable or ErrorMessage events.
//
// Threads: every method runs under the dispatcher's busMutex_; the filter and the ping's
// reply handler run inside sd_bus_process(), which the dispatcher calls with it held.
// Ownership: uses the connection given to attach() until detach() and does not own it;
// writes the dispatcher's event list, which outlives it.
#ifndef OSTREL_DBUS_SENDTRACKER_H
#define OSTREL_DBUS_SENDTRACKER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "busevents.h"
#include "sdbusptr.h"

namespace ostrel_dbus {

class SendTracker {
 public:
  SendTracker(const std::string& appId, const std::string& appVersion, BusEvents* events)
      : appId_(appId), appVersion_(appVersion), events_(events) {}

  void attach(sd_bus* bus);
  // Forgets the connection and every remembered send.
  void detach();

  // Sends `type` and `payload` to each destination, or to everybody when there is none.
  // `wake` is set when the library thread has work: writing the rest, or a sync.
  api5::OstrelMessageErrorCode send(const std::string& type, const std::string& payload,
                                    const std::vector<api5::EndPoint>& destinations, bool* wake);

  // True when remembered sends wait for a sync and none is in flight.
  bool wantsSync() const { return !unconfirmed_.empty() && !syncInFlight_; }
  void startSync();

  // Filter for the daemon's errors about sends; userdata is the tracker.
  static int onFilter(sd_bus_message* message, void* self, sd_bus_error* error);

  // Send answers "try again" rather than queue more than this for a daemon that does
  // not read from us. Bounds the memory that a stalled bus can make the library hold.
  static constexpr size_t kMaxUnwrittenBytes = 16 * 1024 * 1024;

 private:
  // What a unicast went to, kept until the bus has certainly processed it.
  struct SentTo {
    std::string id;
    std::string appId;
    std::string appVersion;
  };

  int sendOne(const std::string& destination, const std::string& type, const std::string& payload,
              uint64_t* cookie);
  static int onSync(sd_bus_message* message, void* self, sd_bus_error* error);

  const std::string appId_;
  const std::string appVersion_;
  BusEvents* const events_;
  sd_bus* bus_ = nullptr;
  std::map<uint64_t, SentTo> unconfirmed_;  // by the cookie of each unicast
  bool syncInFlight_ = false;
  size_t unwrittenBytes_ = 0;  // sent since the sd-bus write queue was last empty
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_SENDTRACKER_H
