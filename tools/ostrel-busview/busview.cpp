#include "busview.h"

#include <cerrno>
#include <cstring>

#include "ostrel_dbus/wire.h"

namespace ostrel_busview {

namespace wire = ostrel_dbus::wire;

namespace {

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";
constexpr const char* kLocalInterface = "org.freedesktop.DBus.Local";

std::string errnoText(int r) {
  return std::strerror(-r);
}

// Frees a NULL-terminated string vector from sd_bus_message_read_strv.
struct StrvFree {
  void operator()(char** strv) const {
    for (char** s = strv; s != nullptr && *s != nullptr; ++s) free(*s);
    free(strv);
  }
};

}  // namespace

std::unique_ptr<BusView> BusView::open(const std::string& address, bool monitor,
                                       uint64_t timeoutUsec, std::string* error) {
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  if (r < 0) {
    *error = "cannot make a bus connection: " + errnoText(r);
    return nullptr;
  }
  ostrel_dbus::BusPtr bus(raw);
  r = sd_bus_set_address(raw, address.c_str());
  if (r < 0) {
    *error = "not a usable bus address: " + address;
    return nullptr;
  }
  sd_bus_set_bus_client(raw, 1);
  sd_bus_negotiate_fds(raw, 0);
  if (monitor) sd_bus_set_monitor(raw, 1);
  sd_bus_set_method_call_timeout(raw, timeoutUsec);
  r = sd_bus_start(raw);
  if (r < 0) {
    *error = "cannot connect to " + address + ": " + errnoText(r);
    return nullptr;
  }
  // The answer to Hello: the daemon has taken the connection.
  const char* unique = nullptr;
  r = sd_bus_get_unique_name(raw, &unique);
  if (r < 0) {
    *error = "the bus at " + address + " does not answer: " + errnoText(r);
    return nullptr;
  }
  return std::unique_ptr<BusView>(new BusView(std::move(bus)));
}

bool BusView::participants(const std::string& prefix, std::vector<Participant>* out,
                           std::string* error) {
  sd_bus* bus = bus_.get();
  ostrel_dbus::BusError callError;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus, kBusService, kBusPath, kBusInterface, "ListNames",
                             callError.get(), &raw, "");
  ostrel_dbus::MessagePtr reply(raw);
  if (r < 0) {
    *error = std::string("ListNames failed: ") +
             (callError.get()->message != nullptr ? callError.get()->message : errnoText(r));
    return false;
  }
  char** rawNames = nullptr;
  r = sd_bus_message_read_strv(reply.get(), &rawNames);
  std::unique_ptr<char*, StrvFree> names(rawNames);
  if (r < 0) {
    *error = "cannot read the names: " + errnoText(r);
    return false;
  }
  for (char** name = names.get(); name != nullptr && *name != nullptr; ++name) {
    if (std::strncmp(*name, prefix.c_str(), prefix.size()) != 0) continue;
    ostrel_dbus::BusError pidError;
    sd_bus_message* pidRaw = nullptr;
    r = sd_bus_call_method(bus, kBusService, kBusPath, kBusInterface, "GetConnectionUnixProcessID",
                           pidError.get(), &pidRaw, "s", *name);
    ostrel_dbus::MessagePtr pidReply(pidRaw);
    Participant participant;
    participant.name = *name;
    if (r < 0) {
      // Gone meanwhile; any other refusal still leaves the name owned, without a pid.
      if (sd_bus_error_has_name(pidError.get(), "org.freedesktop.DBus.Error.NameHasNoOwner")) {
        continue;
      }
      if (r == -ECONNRESET || r == -ENOTCONN || r == -ETIMEDOUT) {
        *error = "the bus stopped answering: " + errnoText(r);
        return false;
      }
    } else {
      uint32_t pid = 0;
      if (sd_bus_message_read(pidReply.get(), "u", &pid) >= 0) participant.pid = pid;
    }
    out->push_back(std::move(participant));
  }
  return true;
}

void BusView::watch(const std::function<void()>& onStarted,
                    const std::function<void(const WatchedMessage&)>& onMessage,
                    std::string* error) {
  sd_bus* bus = bus_.get();
  const std::string rule = std::string("type='signal',interface='") + wire::kInterface +
                           "',member='" + wire::kMember + "'";
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, kBusService, kBusPath,
                                         "org.freedesktop.DBus.Monitoring", "BecomeMonitor");
  ostrel_dbus::MessagePtr call(raw);
  if (r >= 0) r = sd_bus_message_append(call.get(), "asu", 1, rule.c_str(), 0U);
  if (r < 0) {
    *error = "cannot ask to watch the bus: " + errnoText(r);
    return;
  }
  ostrel_dbus::BusError callError;
  r = sd_bus_call(bus, call.get(), 0, callError.get(), nullptr);
  if (r < 0) {
    *error = std::string("the bus refused to be watched: ") +
             (callError.get()->message != nullptr ? callError.get()->message : errnoText(r));
    return;
  }
  onStarted();
  for (;;) {
    sd_bus_message* incoming = nullptr;
    r = sd_bus_process(bus, &incoming);
    ostrel_dbus::MessagePtr message(incoming);
    if (r < 0) {
      *error = "the connection to the bus ended: " + errnoText(r);
      return;
    }
    if (message) {
      if (sd_bus_message_is_signal(message.get(), kLocalInterface, "Disconnected")) {
        *error = "the connection to the bus ended";
        return;
      }
      if (sd_bus_message_is_signal(message.get(), wire::kInterface, wire::kMember) &&
          sd_bus_message_has_signature(message.get(), wire::kSignature)) {
        const char* type = nullptr;
        const char* appId = nullptr;
        const char* appVersion = nullptr;
        if (sd_bus_message_read(message.get(), "sss", &type, &appId, &appVersion) >= 0) {
          const char* sender = sd_bus_message_get_sender(message.get());
          const char* destination = sd_bus_message_get_destination(message.get());
          onMessage({sender != nullptr ? sender : "", destination != nullptr ? destination : "",
                     type, appId, appVersion});
        }
      }
    }
    if (r > 0) continue;
    r = sd_bus_wait(bus, UINT64_MAX);
    if (r < 0 && r != -EINTR) {
      *error = "the connection to the bus ended: " + errnoText(r);
      return;
    }
  }
}

}  // namespace ostrel_busview
