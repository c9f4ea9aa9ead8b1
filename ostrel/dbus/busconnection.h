// One connection to the bus: opening it (address, authentication, Hello), the handlers
// and subscriptions of a participant, its participant name, and closing it.
//
// Threads: opened and set up by one thread (the caller of GetInstance, or the library
// thread when it reconnects) while no other thread can reach it. Once the dispatcher has
// taken it over, every call is made under the dispatcher's busMutex_ (sd-bus objects are
// not thread-safe), and the handlers given to subscribe() run under that lock, inside
// process().
// Ownership: owns the sd-bus connection and the slots of its handlers; destroying it
// removes the handlers and closes the connection without waiting.
#ifndef OSTREL_DBUS_BUSCONNECTION_H
#define OSTREL_DBUS_BUSCONNECTION_H

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ostrel/OstrelMessage5.h"
#include "sdbusptr.h"

namespace ostrel_dbus {

namespace api5 = quorlen::ostrel::api5;

class BusConnection {
 public:
  // What the participant's handlers are and whom they are called for.
  struct Handlers {
    sd_bus_message_handler_t sendErrors;  // filter: the daemon's errors for sends
    void* sendErrorsData;
    sd_bus_message_handler_t messages;  // application messages
    void* messagesData;
    sd_bus_message_handler_t owners;  // NameOwnerChanged of participant names
    void* ownersData;
    const sd_bus_vtable* participantVtable;  // the AppId and AppVersion properties
    void* participantData;
  };

  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  // Connects and waits for the answer to Hello (at most kSetupTimeoutUsec; `stop`, when
  // it turns true, ends the wait early). OSTREL_ERROR_TRY_AGAIN while the bus is not
  // there: no socket, connection refused or reset, no answer to Hello. Final codes:
  // OSTREL_ERROR_INVALID_ARGUMENT for an address that cannot be used,
  // OSTREL_ERROR_FAILED when the bus refuses this participant (authentication refused,
  // access denied, or the daemon closing the connection again right after accepting it).
  static api5::OstrelMessageErrorCode open(const std::string& address,
                                           const std::atomic<bool>* stop,
                                           std::unique_ptr<BusConnection>* opened);

  // Installs the filter, the two subscriptions and the participant's object, before the
  // participant takes its name, so that no join is missed.
  api5::OstrelMessageErrorCode subscribe(const Handlers& handlers);
  // Takes the participant's name; when another connection owns it, a fallback name
  // (ParticipantName) and a line on standard error that says so. The name owned in
  // `owned`.
  api5::OstrelMessageErrorCode claimName(const std::string& appId, const std::string& appVersion,
                                         std::string* owned);

  sd_bus* bus() const { return bus_.get(); }
  const std::string& uniqueName() const { return uniqueName_; }

  // One step of sd_bus_process(); negative once the connection is gone.
  int process();
  // What to poll for.
  pollfd pollDescriptor() const;
  // When sd-bus next needs to run (monotonic microseconds); UINT64_MAX: no limit.
  uint64_t deadlineUsec() const;
  // True while sd-bus holds messages that the socket did not take yet.
  bool hasUnwritten() const;
  // Gives queued messages up to `timeoutMs` to reach the daemon.
  void flush(int timeoutMs);

  // Connecting and registering may take this long before open answers "try again".
  static constexpr uint64_t kSetupTimeoutUsec = 2000000;
  // Calls made later (listing, participant properties, sync) give up after this long.
  static constexpr uint64_t kCallTimeoutUsec = 2000000;

 private:
  BusConnection() = default;
  // One attempt; `closedAfterConnect` tells whether the daemon accepted the socket and
  // then closed it before answering Hello.
  static api5::OstrelMessageErrorCode tryOpen(const std::string& address,
                                              const std::atomic<bool>* stop,
                                              std::unique_ptr<BusConnection>* opened,
                                              bool* closedAfterConnect);

  BusPtr bus_;
  std::vector<SlotPtr> slots_;  // destroyed before bus_
  std::string uniqueName_;
};

// The daemon's own names.
constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";

// A method call to `destination` without auto-start; null when sd-bus cannot make one.
MessagePtr newMethodCall(sd_bus* bus, const char* destination, const char* path,
                         const char* interface, const char* member);

uint64_t monotonicUsec();

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_BUSCONNECTION_H
