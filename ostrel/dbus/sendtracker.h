// The send path: one signal per destination (or one broadcast), the bound on what may
// wait in sd-bus's write queue, and the bookkeeping that tells a sender which of its
// unicasts failed. The daemon answers a unicast whose destination has gone (or whose
// receiver's queue is full) with an error that names the signal's serial; each unicast is
// remembered until that error has arrived or the daemon has certainly processed it. A
// Peer.Ping on the daemon proves the latter for every send made before it (the daemon
// handles one connection's messages in order). The ping is not sent per send: one goes
// kSyncDelayUsec after the first send that nothing covers yet, or at once when
// kSyncAfterSends are remembered, so a steady exchange costs one ping per interval and
// what is remembered stays bounded. Matched errors become DestinationUnreachable or
// ErrorMessage events; they do not wait for the ping.
//
// Threads: every method runs under the dispatcher's busMutex_; the filter and the ping's
// reply handler run inside sd_bus_process(), which the dispatcher calls with it held.
// Ownership: uses the connection given to attach() until detach() and does not own it;
// writes the dispatcher's event list, which outlives it.
#ifndef OSTREL_DBUS_SENDTRACKER_H
#define OSTREL_DBUS_SENDTRACKER_H

#include <cstdint>
#include <deque>
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
  // `wake` is set when the library thread has new work: writing the rest, or a sync
  // that is due sooner than it knew.
  api5::OstrelMessageErrorCode send(const std::string& type, const std::string& payload,
                                    const std::vector<api5::EndPoint>& destinations, bool* wake);

  // When the next sync is due (monotonic microseconds); 0 when none is.
  uint64_t syncDueUsec() const { return syncDueUsec_; }
  // Sends the sync if it is due by `nowUsec`.
  void syncIfDue(uint64_t nowUsec);
  // How many sends are remembered.
  size_t remembered() const { return unconfirmed_.size(); }

  // Filter for the daemon's errors about sends; userdata is the tracker.
  static int onFilter(sd_bus_message* message, void* self, sd_bus_error* error);

  // Send answers "try again" rather than queue more than this for a daemon that does
  // not read from us. Bounds the memory that a stalled bus can make the library hold.
  static constexpr size_t kMaxUnwrittenBytes = 16 * 1024 * 1024;
  // ... nor more messages than this: small messages cost sd-bus more than their bytes.
  static constexpr size_t kMaxUnwrittenMessages = 4096;
  // The sync follows the first send that nothing covers yet after this long ...
  static constexpr uint64_t kSyncDelayUsec = 100000;
  // ... or at once when this many sends are remembered.
  static constexpr size_t kSyncAfterSends = 1024;

 private:
  // What a unicast went to, kept until the bus has certainly processed it.
  struct SentTo {
    uint64_t cookie;
    std::string id;
    std::string appId;
    std::string appVersion;
  };

  int sendOne(const std::string& destination, const std::string& type, const std::string& payload,
              uint64_t* cookie);
  void startSync();
  // Plans the sync for `dueUsec` unless one is in flight or planned sooner; true when
  // the plan changed.
  bool planSync(uint64_t dueUsec);
  static int onSync(sd_bus_message* message, void* self, sd_bus_error* error);

  const std::string appId_;
  const std::string appVersion_;
  BusEvents* const events_;
  sd_bus* bus_ = nullptr;
  // In the order sent: sd-bus numbers a connection's messages in increasing order.
  std::deque<SentTo> unconfirmed_;
  bool syncInFlight_ = false;
  uint64_t syncDueUsec_ = 0;      // 0: no sync planned
  size_t unwrittenBytes_ = 0;     // sent since the sd-bus write queue was last empty
  size_t unwrittenMessages_ = 0;  // the same, in messages
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_SENDTRACKER_H
