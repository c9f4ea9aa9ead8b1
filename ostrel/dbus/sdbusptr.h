// Owning handles for sd-bus objects. sd-bus objects are not thread-safe: whoever holds
// one of these uses it under the lock that guards the connection it belongs to.
#ifndef OSTREL_DBUS_SDBUSPTR_H
#define OSTREL_DBUS_SDBUSPTR_H

#include <systemd/sd-bus.h>

#include <memory>

namespace ostrel_dbus {

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

// Frees an sd_bus_error's texts when it goes out of scope.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  sd_bus_error* get() { return &error_; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_SDBUSPTR_H
