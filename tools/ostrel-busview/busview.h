// A plain D-Bus client connection that looks at the message bus from outside the
// messaging library: which participant names are owned and by which process, and which
// application messages pass between participants (as a bus monitor). The service and
// the corvelle command read these through ostrel-busview's JSON lines.
//
// Threads: not thread-safe; one thread opens, uses and closes a BusView. It owns its
// sd-bus connection (closed by the destructor).
#ifndef OSTREL_BUSVIEW_BUSVIEW_H
#define OSTREL_BUSVIEW_BUSVIEW_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sdbusptr.h"

namespace ostrel_busview {

struct Participant {
  std::string name;
  long long pid = -1;  // -1 when the daemon does not say
};

struct WatchedMessage {
  std::string sender;
  std::string destination;  // empty for a broadcast
  std::string type;
  std::string appId;
  std::string appVersion;
};

class BusView {
 public:
  // Connects to the bus at `address`; a monitor connection when `monitor`. Returns null
  // and sets `error` when the bus cannot be joined within `timeoutUsec`.
  static std::unique_ptr<BusView> open(const std::string& address, bool monitor,
                                       uint64_t timeoutUsec, std::string* error);

  // The owned names that begin with `prefix`, each with its owner's process id. Names
  // that lose their owner while this asks are left out.
  bool participants(const std::string& prefix, std::vector<Participant>* out, std::string* error);

  // Becomes a monitor of the application messages and calls `onMessage` for each, after
  // `onStarted` once. Returns when the connection ends, with `error` saying how.
  void watch(const std::function<void()>& onStarted,
             const std::function<void(const WatchedMessage&)>& onMessage, std::string* error);

 private:
  explicit BusView(ostrel_dbus::BusPtr bus) : bus_(std::move(bus)) {}
  ostrel_dbus::BusPtr bus_;
};

}  // namespace ostrel_busview

#endif  // OSTREL_BUSVIEW_BUSVIEW_H
