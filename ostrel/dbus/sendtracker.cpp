#include "sendtracker.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "busconnection.h"
#include "messageaccess.h"
#include "ostrel_dbus/wire.h"

namespace ostrel_dbus {
namespace {

using api5::MessageAccess;

constexpr const char* kPeerInterface = "org.freedesktop.DBus.Peer";
constexpr const char* kDestinationUnreachable = "DestinationUnreachable";

api5::OstrelMessageErrorCode sendFailure(int r) {
  switch (-r) {
    case ENOBUFS:
      // sd-bus's write queue is full: the daemon does not read fast enough right now.
      return api5::OSTREL_ERROR_TRY_AGAIN;
    case ENOTCONN:
    case ECONNRESET:
    case EPIPE:
      return api5::OSTREL_ERROR_NOT_CONNECTED;
    case EINVAL:
      return api5::OSTREL_ERROR_INVALID_ARGUMENT;
    default:
      return api5::OSTREL_ERROR_FAILED;
  }
}

bool hasUnwritten(sd_bus* bus) {
  const int events = sd_bus_get_events(bus);
  return events > 0 && (events & POLLOUT) != 0;
}

}  // namespace

void SendTracker::attach(sd_bus* bus) {
  bus_ = bus;
}

void SendTracker::detach() {
  bus_ = nullptr;
  unconfirmed_.clear();
  syncInFlight_ = false;
  syncDueUsec_ = 0;
  unwrittenBytes_ = 0;
  unwrittenMessages_ = 0;
}

int SendTracker::sendOne(const std::string& destination, const std::string& type,
                         const std::string& payload, uint64_t* cookie) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_signal(bus_, &raw, wire::kObjectPath, wire::kInterface, wire::kMember);
  if (r < 0) return r;
  MessagePtr signal(raw);
  if (!destination.empty()) {
    r = sd_bus_message_set_destination(signal.get(), destination.c_str());
    if (r < 0) return r;
  }
  // Never start a service on behalf of a message: a missing destination is reported.
  sd_bus_message_set_auto_start(signal.get(), 0);
  r = sd_bus_message_append(signal.get(), "sss", type.c_str(), appId_.c_str(), appVersion_.c_str());
  if (r < 0) return r;
  r = sd_bus_message_append_array(signal.get(), 'y', payload.data(), payload.size());
  if (r < 0) return r;
  return sd_bus_send(bus_, signal.get(), cookie);
}

api5::OstrelMessageErrorCode SendTracker::send(const std::string& type, const std::string& payload,
                                               const std::vector<api5::EndPoint>& destinations,
                                               bool* wake) {
  *wake = false;
  if (bus_ == nullptr) return api5::OSTREL_ERROR_NOT_CONNECTED;
  if (!hasUnwritten(bus_)) unwrittenBytes_ = unwrittenMessages_ = 0;
  const size_t messages = std::max<size_t>(1, destinations.size());
  const size_t bytes =
      (type.size() + appId_.size() + appVersion_.size() + payload.size()) * messages;
  if (unwrittenMessages_ > 0 && (unwrittenBytes_ + bytes > kMaxUnwrittenBytes ||
                                 unwrittenMessages_ + messages > kMaxUnwrittenMessages)) {
    *wake = true;
    return api5::OSTREL_ERROR_TRY_AGAIN;
  }
  api5::OstrelMessageErrorCode result = api5::OSTREL_OK;
  uint64_t cookie = 0;
  bool syncPlanned = false;
  if (destinations.empty()) {
    const int r = sendOne(std::string(), type, payload, &cookie);
    if (r < 0) result = sendFailure(r);
  } else {
    // One unicast per destination. Each is remembered until the daemon has certainly
    // processed it, so that its error answer can be matched to the destination.
    for (const auto& destination : destinations) {
      const std::string& id = MessageAccess::id(destination);
      const int r = sendOne(id, type, payload, &cookie);
      if (r < 0) {
        if (result == api5::OSTREL_OK) result = sendFailure(r);
        continue;
      }
      unconfirmed_.push_back(SentTo{cookie, id, MessageAccess::appId(destination),
                                    MessageAccess::appVersion(destination)});
    }
    if (!unconfirmed_.empty()) {
      const uint64_t now = monotonicUsec();
      syncPlanned = planSync(unconfirmed_.size() >= kSyncAfterSends ? now : now + kSyncDelayUsec);
    }
  }
  const bool queued = hasUnwritten(bus_);
  unwrittenBytes_ = queued ? unwrittenBytes_ + bytes : 0;
  unwrittenMessages_ = queued ? unwrittenMessages_ + messages : 0;
  *wake = queued || syncPlanned;
  return result;
}

bool SendTracker::planSync(uint64_t dueUsec) {
  if (syncInFlight_ || (syncDueUsec_ != 0 && syncDueUsec_ <= dueUsec)) return false;
  syncDueUsec_ = dueUsec;
  return true;
}

void SendTracker::syncIfDue(uint64_t nowUsec) {
  if (syncDueUsec_ != 0 && syncDueUsec_ <= nowUsec && bus_ != nullptr) startSync();
}

void SendTracker::startSync() {
  syncDueUsec_ = 0;
  if (unconfirmed_.empty()) return;
  // Once the daemon has answered this call it has answered (or silently accepted) every
  // send made before it.
  MessagePtr call = newMethodCall(bus_, kBusService, kBusPath, kPeerInterface, "Ping");
  if (!call || sd_bus_call_async(bus_, nullptr, call.get(), &SendTracker::onSync, this,
                                 BusConnection::kCallTimeoutUsec) < 0) {
    planSync(monotonicUsec() + kSyncDelayUsec);
    return;
  }
  syncInFlight_ = true;
}

int SendTracker::onSync(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* tracker = static_cast<SendTracker*>(self);
  if (tracker->bus_ == nullptr) return 1;
  tracker->syncInFlight_ = false;
  uint64_t cookie = 0;
  auto& sends = tracker->unconfirmed_;
  if (!sd_bus_message_is_method_error(message, nullptr) &&
      sd_bus_message_get_reply_cookie(message, &cookie) >= 0) {
    while (!sends.empty() && sends.front().cookie < cookie) sends.pop_front();
  }
  // Sends made after the ping (or all of them, when it failed) wait for the next one.
  if (!sends.empty()) {
    const uint64_t now = monotonicUsec();
    tracker->planSync(sends.size() >= kSyncAfterSends ? now : now + kSyncDelayUsec);
  }
  return 1;
}

int SendTracker::onFilter(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* tracker = static_cast<SendTracker*>(self);
  uint8_t type = 0;
  if (tracker->bus_ == nullptr || sd_bus_message_get_type(message, &type) < 0 ||
      type != SD_BUS_MESSAGE_METHOD_ERROR) {
    return 0;
  }
  const char* sender = sd_bus_message_get_sender(message);
  uint64_t cookie = 0;
  if (sender == nullptr || std::strcmp(sender, kBusService) != 0 ||
      sd_bus_message_get_reply_cookie(message, &cookie) < 0) {
    return 0;
  }
  auto& sends = tracker->unconfirmed_;
  const auto sent =
      std::lower_bound(sends.begin(), sends.end(), cookie,
                       [](const SentTo& entry, uint64_t value) { return entry.cookie < value; });
  if (sent == sends.end() || sent->cookie != cookie) return 0;
  const SentTo to = std::move(*sent);
  sends.erase(sent);
  if (sends.empty() && !tracker->syncInFlight_) tracker->syncDueUsec_ = 0;

  const sd_bus_error* error = sd_bus_message_get_error(message);
  std::shared_ptr<api5::OstrelMessage> report;
  BusEvent::Kind kind;
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER, SD_BUS_ERROR_SERVICE_UNKNOWN)) {
    // The destination has left the bus.
    report = std::make_shared<api5::OstrelMessage>(kDestinationUnreachable);
    kind = BusEvent::Kind::kMessage;
  } else {
    // For example LimitsExceeded: the destination's queue is full and it missed this one.
    report = std::make_shared<api5::ErrorMessage>();
    kind = BusEvent::Kind::kError;
  }
  MessageAccess::setSender(*report, to.appId, to.appVersion);
  tracker->events_->push_back({kind, report});
  return 1;
}

}  // namespace ostrel_dbus
