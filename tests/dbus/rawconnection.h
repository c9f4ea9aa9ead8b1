// A bare sd-bus connection for tests that play what the library itself never does: a
// foreign connection that owns names encoding other unique names, or a crowd of host
// participants in one process.
//
// Threads: used by one thread at a time; not thread-safe (sd-bus objects are not).
// Ownership: owns the connection and the slot of its exported properties; the destructor
// closes the connection.
#ifndef OSTREL_DBUS_TESTS_RAWCONNECTION_H
#define OSTREL_DBUS_TESTS_RAWCONNECTION_H

#include <systemd/sd-bus.h>

#include <string>
#include <vector>

namespace ostrel_dbus_test {

class RawConnection {
 public:
  RawConnection() = default;
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // Connects and waits for Hello; false when it cannot.
  bool open(const std::string& address);
  const std::string& uniqueName() const { return uniqueName_; }
  sd_bus* bus() const { return bus_; }

  // Requests `name` without queueing; sd-bus's result (1: owned, negative: refused).
  int own(const std::string& name);
  int release(const std::string& name);
  // Answers the participant properties with these texts, as a participant would.
  bool exportProperties(const std::string& appId, const std::string& appVersion);
  // Subscribes to application messages addressed to it or broadcast.
  bool subscribeMessages();
  // Sends an application message (empty destination: broadcast).
  bool sendMessage(const std::string& destination, const std::string& type,
                   const std::string& appId, const std::string& appVersion,
                   const std::string& payload);
  // Processes whatever arrived; the types of the application messages among it.
  std::vector<std::string> takeMessages();

  // The participant name of the long form, as the protocol spells it.
  static std::string participantName(const std::string& uniqueName, const std::string& appId,
                                     const std::string& appVersion);
  static std::string escape(const std::string& text);

 private:
  static int onMessage(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onProperty(sd_bus* bus, const char* path, const char* interface, const char* property,
                        sd_bus_message* reply, void* self, sd_bus_error* error);

  sd_bus* bus_ = nullptr;
  std::vector<sd_bus_slot*> slots_;
  std::string uniqueName_;
  std::string appId_;
  std::string appVersion_;
  std::vector<std::string> received_;
};

}  // namespace ostrel_dbus_test

#endif  // OSTREL_DBUS_TESTS_RAWCONNECTION_H
