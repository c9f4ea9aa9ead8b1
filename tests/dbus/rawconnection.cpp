#include "rawconnection.h"

#include <cstring>

namespace ostrel_dbus_test {

RawConnection::~RawConnection() {
  for (sd_bus_slot* slot : slots_) sd_bus_slot_unref(slot);
  if (bus_ != nullptr) sd_bus_close_unref(bus_);
}

bool RawConnection::open(const std::string& address) {
  if (sd_bus_new(&bus_) < 0) return false;
  if (sd_bus_set_address(bus_, address.c_str()) < 0) return false;
  sd_bus_set_bus_client(bus_, 1);
  if (sd_bus_start(bus_) < 0) return false;
  for (int i = 0; i < 400; ++i) {
    const int ready = sd_bus_is_ready(bus_);
    if (ready < 0) return false;
    if (ready > 0) break;
    const int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return false;
    if (r == 0) sd_bus_wait(bus_, 10000);
  }
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus_, &unique) < 0) return false;
  uniqueName_ = unique;
  return true;
}

int RawConnection::own(const std::string& name) {
  return sd_bus_request_name(bus_, name.c_str(), 0);
}

int RawConnection::release(const std::string& name) {
  return sd_bus_release_name(bus_, name.c_str());
}

int RawConnection::onProperty(sd_bus*, const char*, const char*, const char* property,
                              sd_bus_message* reply, void* self, sd_bus_error*) {
  auto* connection = static_cast<RawConnection*>(self);
  const std::string& value =
      std::strcmp(property, "AppId") == 0 ? connection->appId_ : connection->appVersion_;
  return sd_bus_message_append(reply, "s", value.c_str());
}

bool RawConnection::exportProperties(const std::string& appId, const std::string& appVersion) {
  static const sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("AppId", "s", &RawConnection::onProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("AppVersion", "s", &RawConnection::onProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END};
  appId_ = appId;
  appVersion_ = appVersion;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_object_vtable(bus_, &slot, "/net/corvelle/Ostrel5",
                               "net.corvelle.Ostrel5.Participant", kVtable, this) < 0) {
    return false;
  }
  slots_.push_back(slot);
  return true;
}

int RawConnection::onMessage(sd_bus_message* message, void* self, sd_bus_error*) {
  const char* type = nullptr;
  if (sd_bus_message_read(message, "s", &type) >= 0) {
    static_cast<RawConnection*>(self)->received_.push_back(type);
  }
  return 1;
}

bool RawConnection::subscribeMessages() {
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_match(bus_, &slot,
                       "type='signal',path='/net/corvelle/Ostrel5',interface='net.corvelle."
                       "Ostrel5',member='Message'",
                       &RawConnection::onMessage, this) < 0) {
    return false;
  }
  slots_.push_back(slot);
  return true;
}

bool RawConnection::sendMessage(const std::string& destination, const std::string& type,
                                const std::string& appId, const std::string& appVersion,
                                const std::string& payload) {
  sd_bus_message* signal = nullptr;
  if (sd_bus_message_new_signal(bus_, &signal, "/net/corvelle/Ostrel5", "net.corvelle.Ostrel5",
                                "Message") < 0) {
    return false;
  }
  bool ok =
      (destination.empty() || sd_bus_message_set_destination(signal, destination.c_str()) >= 0) &&
      sd_bus_message_append(signal, "sss", type.c_str(), appId.c_str(), appVersion.c_str()) >= 0 &&
      sd_bus_message_append_array(signal, 'y', payload.data(), payload.size()) >= 0 &&
      sd_bus_send(bus_, signal, nullptr) >= 0;
  sd_bus_message_unref(signal);
  return ok;
}

std::vector<std::string> RawConnection::takeMessages() {
  while (sd_bus_process(bus_, nullptr) > 0) {
  }
  std::vector<std::string> taken;
  taken.swap(received_);
  return taken;
}

std::string RawConnection::escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += ch;
    } else {
      out += '_';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string RawConnection::participantName(const std::string& uniqueName, const std::string& appId,
                                           const std::string& appVersion) {
  return "net.corvelle.Ostrel5.P.a" + escape(appId) + ".v" + escape(appVersion) + ".u" +
         escape(uniqueName);
}

}  // namespace ostrel_dbus_test
