#include "busdispatcher.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "messageaccess.h"
#include "ostrel_dbus/wire.h"
#include "participantname.h"

namespace ostrel_dbus {
namespace {

using api5::MessageAccess;

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";
constexpr const char* kPeerInterface = "org.freedesktop.DBus.Peer";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kDestinationUnreachable = "DestinationUnreachable";

// Connecting and registering may take this long before GetInstance answers "try again".
constexpr uint64_t kSetupTimeoutUsec = 2000000;
// Calls made later (listing, participant properties, sync) give up after this long.
constexpr uint64_t kCallTimeoutUsec = 2000000;
// Incoming messages handled per round before the round's events are delivered, so that
// listeners see messages promptly and the event list stays short.
constexpr int kMessagesPerRound = 64;
// Send answers "try again" rather than queue more than this for a daemon that does not
// read from us (it throttles senders whose messages it still holds). Bounds the memory
// that a stalled bus can make the library hold.
constexpr size_t kMaxUnwrittenBytes = 16 * 1024 * 1024;
// At shutdown, messages still queued for the socket get this long to be written.
constexpr int kCloseFlushMs = 1000;

uint64_t monotonicUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// Failures that mean the bus is not (yet) there rather than that it refused us.
bool isNotThereYet(int r) {
  switch (-r) {
    case ENOENT:
    case ECONNREFUSED:
    case ECONNRESET:
    case EAGAIN:
    case ETIMEDOUT:
    case ENOTCONN:
      return true;
    default:
      return false;
  }
}

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

struct StrvFree {
  void operator()(char** strv) const {
    for (char** p = strv; p != nullptr && *p != nullptr; ++p) free(*p);
    free(strv);
  }
};

MessagePtr newCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                   const char* member) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member) < 0) {
    return nullptr;
  }
  MessagePtr call(raw);
  sd_bus_message_set_auto_start(call.get(), 0);
  return call;
}

}  // namespace

BusDispatcher::BusDispatcher(const Settings& settings) : settings_(settings) {}

BusDispatcher::~BusDispatcher() {
  // The library thread is gone (or was never started); nothing else uses the bus.
  slots_.clear();
  bus_.reset();
}

api5::OstrelMessageErrorCode BusDispatcher::open(const Settings& settings,
                                                 std::shared_ptr<BusDispatcher>* dispatcher) {
  auto created = std::make_shared<BusDispatcher>(settings);
  if (!created->wakeup_.valid()) return api5::OSTREL_ERROR_FAILED;
  std::lock_guard<std::mutex> lock(created->busMutex_);
  const api5::OstrelMessageErrorCode code = created->connect();
  if (code == api5::OSTREL_OK) *dispatcher = std::move(created);
  return code;
}

api5::OstrelMessageErrorCode BusDispatcher::connect() {
  static const sd_bus_vtable kParticipantVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("AppId", "s", &BusDispatcher::onProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("AppVersion", "s", &BusDispatcher::onProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END};

  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return api5::OSTREL_ERROR_FAILED;
  bus_.reset(raw);
  sd_bus* bus = bus_.get();
  if (sd_bus_set_address(bus, settings_.address.c_str()) < 0) {
    return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  }
  sd_bus_set_bus_client(bus, 1);
  sd_bus_negotiate_fds(bus, 0);
  sd_bus_set_method_call_timeout(bus, kSetupTimeoutUsec);

  int r = sd_bus_start(bus);
  if (r < 0) return isNotThereYet(r) ? api5::OSTREL_ERROR_TRY_AGAIN : api5::OSTREL_ERROR_FAILED;

  // Wait for the daemon's answer to Hello, which gives the unique name.
  const uint64_t deadline = monotonicUsec() + kSetupTimeoutUsec;
  while ((r = sd_bus_is_ready(bus)) == 0) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    const uint64_t now = monotonicUsec();
    if (now >= deadline) return api5::OSTREL_ERROR_TRY_AGAIN;
    sd_bus_wait(bus, deadline - now);
  }
  if (r < 0) return isNotThereYet(r) ? api5::OSTREL_ERROR_TRY_AGAIN : api5::OSTREL_ERROR_FAILED;
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus, &unique) < 0 || unique == nullptr) {
    return api5::OSTREL_ERROR_TRY_AGAIN;
  }
  uniqueName_ = unique;

  // Handlers and subscriptions come before the name and the first listing, so that no
  // participant that joins meanwhile is missed.
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_filter(bus, &slot, &BusDispatcher::onFilter, this) < 0) {
    return api5::OSTREL_ERROR_FAILED;
  }
  slots_.emplace_back(slot);
  const std::string messageRule = std::string("type='signal',path='") + wire::kObjectPath +
                                  "',interface='" + wire::kInterface + "',member='" +
                                  wire::kMember + "'";
  const std::string ownerRule = std::string("type='signal',sender='") + kBusService + "',path='" +
                                kBusPath + "',interface='" + kBusInterface +
                                "',member='NameOwnerChanged',arg0namespace='" +
                                wire::kParticipantPrefix + "'";
  r = sd_bus_add_match(bus, &slot, messageRule.c_str(), &BusDispatcher::onApplicationMessage, this);
  if (r < 0) return isNotThereYet(r) ? api5::OSTREL_ERROR_TRY_AGAIN : api5::OSTREL_ERROR_FAILED;
  slots_.emplace_back(slot);
  r = sd_bus_add_match(bus, &slot, ownerRule.c_str(), &BusDispatcher::onNameOwnerChanged, this);
  if (r < 0) return isNotThereYet(r) ? api5::OSTREL_ERROR_TRY_AGAIN : api5::OSTREL_ERROR_FAILED;
  slots_.emplace_back(slot);
  r = sd_bus_add_object_vtable(bus, &slot, wire::kObjectPath, wire::kParticipantInterface,
                               kParticipantVtable, this);
  if (r < 0) return api5::OSTREL_ERROR_FAILED;
  slots_.emplace_back(slot);

  const std::string name =
      ParticipantName::forParticipant(uniqueName_, settings_.appId, settings_.appVersion);
  r = sd_bus_request_name(bus, name.c_str(), 0);
  if (r < 0) return isNotThereYet(r) ? api5::OSTREL_ERROR_TRY_AGAIN : api5::OSTREL_ERROR_FAILED;

  sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  connected_ = true;
  startRefreshLocked();
  return api5::OSTREL_OK;
}

void BusDispatcher::start() {
  auto self = shared_from_this();
  thread_ = std::thread([self] { self->run(); });
}

void BusDispatcher::shutdown() {
  registrations_.clear();
  stop_ = true;
  wakeup_.notify();
  std::thread thread = std::move(thread_);
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    // Called from inside a listener or callback: this thread cannot wait for itself.
    // Nothing is registered any more, and the thread ends when the call returns.
    thread.detach();
  } else {
    thread.join();
  }
}

void BusDispatcher::run() {
  registrations_.setLibraryThread(std::this_thread::get_id());
  while (!stop_) {
    const bool more = processSome();
    if (stop_) break;
    if (!more) waitForActivity();
  }
  flushAndClose();
}

bool BusDispatcher::processSome() {
  std::vector<Event> events;
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (bus_ && connected_) {
      for (int i = 0; i < kMessagesPerRound; ++i) {
        const int r = sd_bus_process(bus_.get(), nullptr);
        if (r < 0) {
          onDisconnected();
          break;
        }
        if (r == 0) break;
        if (i == kMessagesPerRound - 1) more = true;
      }
      if (connected_ && !unconfirmedSends_.empty() && !syncInFlight_) startSyncLocked();
    }
    events.swap(events_);
  }
  deliverEvents(events);
  return more;
}

void BusDispatcher::waitForActivity() {
  pollfd fds[2] = {{wakeup_.fd(), POLLIN, 0}, {-1, 0, 0}};
  int timeoutMs = -1;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (bus_ && connected_) {
      const int fd = sd_bus_get_fd(bus_.get());
      const int events = sd_bus_get_events(bus_.get());
      uint64_t until = UINT64_MAX;
      sd_bus_get_timeout(bus_.get(), &until);
      if (fd >= 0 && events >= 0) fds[1] = {fd, static_cast<short>(events), 0};
      if (until != UINT64_MAX) {
        const uint64_t now = monotonicUsec();
        timeoutMs = until <= now ? 0 : static_cast<int>((until - now + 999) / 1000);
      }
    }
  }
  if (poll(fds, fds[1].fd >= 0 ? 2 : 1, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
    wakeup_.drain();
  }
}

void BusDispatcher::deliverEvents(std::vector<Event>& events) {
  for (const Event& event : events) {
    switch (event.kind) {
      case Event::Kind::kMessage:
        registrations_.deliver(*event.message, false);
        break;
      case Event::Kind::kError:
        registrations_.deliver(*event.message, true);
        break;
      case Event::Kind::kRefreshed:
        registrations_.notifyRefreshed();
        break;
    }
  }
  events.clear();
}

void BusDispatcher::flushAndClose() {
  std::lock_guard<std::mutex> lock(busMutex_);
  if (bus_ && connected_) {
    // Give what Send queued a bounded chance to reach the daemon; never wait for ever.
    const uint64_t deadline = monotonicUsec() + kCloseFlushMs * 1000u;
    for (;;) {
      const int events = sd_bus_get_events(bus_.get());
      if (events < 0 || (events & POLLOUT) == 0) break;
      if (sd_bus_process(bus_.get(), nullptr) < 0) break;
      const uint64_t now = monotonicUsec();
      if (now >= deadline) break;
      pollfd fd = {sd_bus_get_fd(bus_.get()), POLLOUT, 0};
      poll(&fd, 1, static_cast<int>((deadline - now) / 1000) + 1);
    }
  }
  connected_ = false;
  events_.clear();
  slots_.clear();
  bus_.reset();
}

void BusDispatcher::onDisconnected() {
  connected_ = false;
  listed_ = false;
  refreshRunning_ = refreshAgain_ = false;
  updateFlagsLocked();
  auto report = std::make_shared<api5::ErrorMessage>();
  MessageAccess::setSender(*report, settings_.appId, settings_.appVersion);
  events_.push_back({Event::Kind::kError, report});
}

int BusDispatcher::sendOne(const std::string& destination, const std::string& type,
                           const std::string& payload, uint64_t* cookie) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_signal(bus_.get(), &raw, wire::kObjectPath, wire::kInterface,
                                    wire::kMember);
  if (r < 0) return r;
  MessagePtr signal(raw);
  if (!destination.empty()) {
    r = sd_bus_message_set_destination(signal.get(), destination.c_str());
    if (r < 0) return r;
  }
  // Never start a service on behalf of a message: a missing destination is reported.
  sd_bus_message_set_auto_start(signal.get(), 0);
  r = sd_bus_message_append(signal.get(), "sss", type.c_str(), settings_.appId.c_str(),
                            settings_.appVersion.c_str());
  if (r < 0) return r;
  r = sd_bus_message_append_array(signal.get(), 'y', payload.data(), payload.size());
  if (r < 0) return r;
  return sd_bus_send(bus_.get(), signal.get(), cookie);
}

api5::OstrelMessageErrorCode BusDispatcher::Send(const api5::SuiteMessage& message) {
  const std::string& type = MessageAccess::type(message);
  const std::string& payload = MessageAccess::payload(message);
  const std::vector<api5::EndPoint>& destinations = MessageAccess::destinations(message);
  const size_t prefixLength = std::strlen(api5::SuiteMessage::TYPE_PREFIX);
  if (type.compare(0, prefixLength, api5::SuiteMessage::TYPE_PREFIX) != 0 ||
      !wire::isValidUtf8(type)) {
    return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  }
  if (type.size() + settings_.appId.size() + settings_.appVersion.size() + payload.size() >
      wire::kMaxContentBytes) {
    return api5::OSTREL_ERROR_TOO_LARGE;
  }
  for (const auto& destination : destinations) {
    if (MessageAccess::id(destination).empty()) return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  }

  api5::OstrelMessageErrorCode result = api5::OSTREL_OK;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (!bus_ || !connected_ || stop_) return api5::OSTREL_ERROR_NOT_CONNECTED;
    if ((sd_bus_get_events(bus_.get()) & POLLOUT) == 0) unwrittenBytes_ = 0;
    const size_t bytes =
        (type.size() + settings_.appId.size() + settings_.appVersion.size() + payload.size()) *
        std::max<size_t>(1, destinations.size());
    if (unwrittenBytes_ > 0 && unwrittenBytes_ + bytes > kMaxUnwrittenBytes) {
      wakeup_.notify();
      return api5::OSTREL_ERROR_TRY_AGAIN;
    }
    uint64_t cookie = 0;
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
        unconfirmedSends_[cookie] =
            SentTo{id, MessageAccess::appId(destination), MessageAccess::appVersion(destination)};
      }
    }
    const int events = sd_bus_get_events(bus_.get());
    const bool queued = events > 0 && (events & POLLOUT) != 0;
    unwrittenBytes_ = queued ? unwrittenBytes_ + bytes : 0;
    wake = queued || (!unconfirmedSends_.empty() && !syncInFlight_);
  }
  if (wake) wakeup_.notify();
  return result;
}

void BusDispatcher::AddListener(api5::IOstrelMessageListener* listener) {
  registrations_.addListener(listener);
}
void BusDispatcher::RemoveListener(api5::IOstrelMessageListener* listener) {
  registrations_.removeListener(listener);
}
void BusDispatcher::AddErrorListener(api5::IOstrelMessageListener* listener) {
  registrations_.addErrorListener(listener);
}
void BusDispatcher::RemoveErrorListener(api5::IOstrelMessageListener* listener) {
  registrations_.removeErrorListener(listener);
}
void BusDispatcher::AddEndPointsRefreshCallback(api5::EndPointsRefreshCallback callback,
                                                void* context) {
  registrations_.addRefreshCallback(callback, context);
}
void BusDispatcher::RemoveEndPointsRefreshCallback(api5::EndPointsRefreshCallback callback,
                                                   void* context) {
  registrations_.removeRefreshCallback(callback, context);
}

void BusDispatcher::RefreshEndPoints() {
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (!bus_ || !connected_ || stop_) return;
    startRefreshLocked();
  }
  // The call's reply deadline changes the library thread's poll timeout.
  wakeup_.notify();
}

bool BusDispatcher::IsRefreshPending() {
  return refreshPending_;
}

api5::EndPoint BusDispatcher::GetSelf() {
  return MessageAccess::makeEndPoint(uniqueName_, settings_.appId, settings_.appVersion);
}

bool BusDispatcher::IsReady() {
  return connected_ && listed_ && !stop_;
}

api5::OstrelMessageErrorCode BusDispatcher::GetEndPoints(api5::EndPoint** endPoints,
                                                         size_t* count) {
  if (endPoints == nullptr || count == nullptr) return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  const std::vector<DirectoryEntry> list = directory_.list();
  *endPoints = nullptr;
  *count = list.size();
  if (list.empty()) return api5::OSTREL_OK;
  auto array = std::make_unique<api5::EndPoint[]>(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    array[i] = MessageAccess::makeEndPoint(list[i].id, list[i].appId, list[i].appVersion);
  }
  *endPoints = array.release();
  return api5::OSTREL_OK;
}

void BusDispatcher::FreeEndPoints(api5::EndPoint* endPoints) {
  delete[] endPoints;
}

void BusDispatcher::updateFlagsLocked() {
  refreshPending_ = refreshRunning_ || refreshAgain_;
}

void BusDispatcher::startRefreshLocked() {
  if (refreshRunning_) {
    // One listing at a time; one more follows the current one.
    refreshAgain_ = true;
    updateFlagsLocked();
    return;
  }
  MessagePtr call = newCall(bus_.get(), kBusService, kBusPath, kBusInterface, "ListNames");
  if (!call || sd_bus_call_async(bus_.get(), nullptr, call.get(), &BusDispatcher::onListNames, this,
                                 kCallTimeoutUsec) < 0) {
    return;
  }
  refreshRunning_ = true;
  refreshListed_ = false;
  refreshWaitsFor_.clear();
  updateFlagsLocked();
}

void BusDispatcher::finishRefreshLocked() {
  refreshRunning_ = false;
  refreshListed_ = false;
  listed_ = true;
  events_.push_back({Event::Kind::kRefreshed, nullptr});
  if (refreshAgain_) {
    refreshAgain_ = false;
    startRefreshLocked();
  }
  updateFlagsLocked();
}

void BusDispatcher::requestDetailsLocked(const std::string& uniqueName, bool forRefresh) {
  const auto awaiting = awaitingDetails_.find(uniqueName);
  if (awaiting != awaitingDetails_.end()) {
    if (forRefresh) refreshWaitsFor_.insert(awaiting->second);
    return;
  }
  MessagePtr call =
      newCall(bus_.get(), uniqueName.c_str(), wire::kObjectPath, kPropertiesInterface, "GetAll");
  if (!call || sd_bus_message_append(call.get(), "s", wire::kParticipantInterface) < 0 ||
      sd_bus_call_async(bus_.get(), nullptr, call.get(), &BusDispatcher::onDetails, this,
                        kCallTimeoutUsec) < 0) {
    return;
  }
  uint64_t cookie = 0;
  sd_bus_message_get_cookie(call.get(), &cookie);
  detailCalls_[cookie] = uniqueName;
  awaitingDetails_[uniqueName] = cookie;
  if (forRefresh) refreshWaitsFor_.insert(cookie);
}

void BusDispatcher::startSyncLocked() {
  // The daemon handles one connection's messages in order, so once it has answered this
  // call it has answered (or silently accepted) every send made before it.
  MessagePtr call = newCall(bus_.get(), kBusService, kBusPath, kPeerInterface, "Ping");
  if (!call || sd_bus_call_async(bus_.get(), nullptr, call.get(), &BusDispatcher::onSync, this,
                                 kCallTimeoutUsec) < 0) {
    return;
  }
  syncInFlight_ = true;
}

void BusDispatcher::participantJoinedLocked(const std::string& busName, const std::string& owner) {
  ParticipantInfo info;
  if (!ParticipantName::parse(busName, &info)) return;
  // A name is believed only when its owner is the connection that it names.
  if (info.uniqueName != owner || owner == uniqueName_) return;
  if (info.detailsInName) {
    if (directory_.put({owner, info.appId, info.appVersion})) {
      events_.push_back({Event::Kind::kRefreshed, nullptr});
    }
  } else {
    requestDetailsLocked(owner, false);
  }
}

void BusDispatcher::participantLeftLocked(const std::string& busName, const std::string& owner) {
  ParticipantInfo info;
  if (!ParticipantName::parse(busName, &info) || info.uniqueName != owner) return;
  awaitingDetails_.erase(owner);
  if (directory_.remove(owner)) events_.push_back({Event::Kind::kRefreshed, nullptr});
}

int BusDispatcher::onFilter(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* dispatcher = static_cast<BusDispatcher*>(self);
  uint8_t type = 0;
  if (sd_bus_message_get_type(message, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_ERROR) {
    return 0;
  }
  const char* sender = sd_bus_message_get_sender(message);
  uint64_t cookie = 0;
  if (sender == nullptr || std::strcmp(sender, kBusService) != 0 ||
      sd_bus_message_get_reply_cookie(message, &cookie) < 0) {
    return 0;
  }
  const auto sent = dispatcher->unconfirmedSends_.find(cookie);
  if (sent == dispatcher->unconfirmedSends_.end()) return 0;
  const SentTo to = sent->second;
  dispatcher->unconfirmedSends_.erase(sent);

  const sd_bus_error* error = sd_bus_message_get_error(message);
  std::shared_ptr<api5::OstrelMessage> report;
  Event::Kind kind;
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER, SD_BUS_ERROR_SERVICE_UNKNOWN)) {
    // The destination has left the bus.
    report = std::make_shared<api5::OstrelMessage>(kDestinationUnreachable);
    kind = Event::Kind::kMessage;
  } else {
    // For example LimitsExceeded: the destination's queue is full and it missed this one.
    report = std::make_shared<api5::ErrorMessage>();
    kind = Event::Kind::kError;
  }
  MessageAccess::setSender(*report, to.appId, to.appVersion);
  dispatcher->events_.push_back({kind, report});
  return 1;
}

int BusDispatcher::onApplicationMessage(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* dispatcher = static_cast<BusDispatcher*>(self);
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr) return 0;
  // A broadcast reaches its own sender too; a participant never receives its own.
  if (sd_bus_message_get_destination(message) == nullptr && dispatcher->uniqueName_ == sender) {
    return 1;
  }
  if (sd_bus_message_has_signature(message, wire::kSignature) <= 0) return 1;
  const char* type = nullptr;
  const char* appId = nullptr;
  const char* appVersion = nullptr;
  const void* payload = nullptr;
  size_t payloadSize = 0;
  if (sd_bus_message_read(message, "sss", &type, &appId, &appVersion) < 0 ||
      sd_bus_message_read_array(message, 'y', &payload, &payloadSize) < 0) {
    return 1;
  }
  // Only application messages travel on the bus; the library makes the other kinds.
  if (std::strncmp(type, api5::SuiteMessage::TYPE_PREFIX,
                   std::strlen(api5::SuiteMessage::TYPE_PREFIX)) != 0) {
    return 1;
  }
  auto received = std::make_shared<api5::SuiteMessage>(type);
  MessageAccess::setSender(*received, appId, appVersion);
  received->SetSource(MessageAccess::makeEndPoint(sender, appId, appVersion));
  MessageAccess::setPayloadBytes(
      *received, payloadSize == 0 ? std::string()
                                  : std::string(static_cast<const char*>(payload), payloadSize));
  dispatcher->events_.push_back({Event::Kind::kMessage, received});
  return 1;
}

int BusDispatcher::onNameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* dispatcher = static_cast<BusDispatcher*>(self);
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (oldOwner[0] != '\0') dispatcher->participantLeftLocked(name, oldOwner);
  if (newOwner[0] != '\0') dispatcher->participantJoinedLocked(name, newOwner);
  return 1;
}

int BusDispatcher::onListNames(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* dispatcher = static_cast<BusDispatcher*>(self);
  char** raw = nullptr;
  if (sd_bus_message_is_method_error(message, nullptr) ||
      sd_bus_message_read_strv(message, &raw) < 0) {
    // The list stays as the name-owner notices left it.
    dispatcher->finishRefreshLocked();
    return 1;
  }
  std::unique_ptr<char*, StrvFree> names(raw);
  std::map<std::string, ParticipantInfo, UniqueNameOrder> present;
  for (char** name = names.get(); name != nullptr && *name != nullptr; ++name) {
    ParticipantInfo info;
    if (!ParticipantName::parse(*name, &info) || info.uniqueName == dispatcher->uniqueName_) {
      continue;
    }
    present[info.uniqueName] = info;
  }
  for (const std::string& id : dispatcher->directory_.ids()) {
    if (present.count(id) == 0) dispatcher->directory_.remove(id);
  }
  for (auto it = dispatcher->awaitingDetails_.begin(); it != dispatcher->awaitingDetails_.end();) {
    it = present.count(it->first) == 0 ? dispatcher->awaitingDetails_.erase(it) : std::next(it);
  }
  for (const auto& [id, info] : present) {
    if (info.detailsInName) {
      dispatcher->directory_.put({id, info.appId, info.appVersion});
    } else if (!dispatcher->directory_.contains(id)) {
      dispatcher->requestDetailsLocked(id, true);
    }
  }
  dispatcher->refreshListed_ = true;
  if (dispatcher->refreshWaitsFor_.empty()) dispatcher->finishRefreshLocked();
  return 1;
}

int BusDispatcher::onDetails(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* dispatcher = static_cast<BusDispatcher*>(self);
  uint64_t cookie = 0;
  if (sd_bus_message_get_reply_cookie(message, &cookie) < 0) return 1;
  const auto call = dispatcher->detailCalls_.find(cookie);
  if (call == dispatcher->detailCalls_.end()) return 1;
  const std::string uniqueName = call->second;
  dispatcher->detailCalls_.erase(call);

  bool changed = false;
  const auto awaiting = dispatcher->awaitingDetails_.find(uniqueName);
  if (awaiting != dispatcher->awaitingDetails_.end() && awaiting->second == cookie) {
    dispatcher->awaitingDetails_.erase(awaiting);
    std::string appId;
    std::string appVersion;
    bool haveAppId = false;
    if (!sd_bus_message_is_method_error(message, nullptr) &&
        sd_bus_message_enter_container(message, 'a', "{sv}") > 0) {
      while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        const char* value = nullptr;
        if (sd_bus_message_read(message, "s", &key) < 0) break;
        if (sd_bus_message_read(message, "v", "s", &value) < 0) {
          if (sd_bus_message_skip(message, "v") < 0) break;
        } else if (std::strcmp(key, "AppId") == 0) {
          appId = value;
          haveAppId = true;
        } else if (std::strcmp(key, "AppVersion") == 0) {
          appVersion = value;
        }
        if (sd_bus_message_exit_container(message) < 0) break;
      }
    }
    // A participant that cannot answer is not listed: nothing could be addressed to it
    // by application.
    if (haveAppId) changed = dispatcher->directory_.put({uniqueName, appId, appVersion});
  }

  if (dispatcher->refreshWaitsFor_.erase(cookie) > 0) {
    if (dispatcher->refreshListed_ && dispatcher->refreshWaitsFor_.empty()) {
      dispatcher->finishRefreshLocked();
    }
  } else if (changed) {
    dispatcher->events_.push_back({Event::Kind::kRefreshed, nullptr});
  }
  return 1;
}

int BusDispatcher::onSync(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* dispatcher = static_cast<BusDispatcher*>(self);
  dispatcher->syncInFlight_ = false;
  uint64_t cookie = 0;
  if (sd_bus_message_is_method_error(message, nullptr) ||
      sd_bus_message_get_reply_cookie(message, &cookie) < 0) {
    return 1;
  }
  auto& sends = dispatcher->unconfirmedSends_;
  sends.erase(sends.begin(), sends.lower_bound(cookie));
  return 1;
}

int BusDispatcher::onProperty(sd_bus*, const char*, const char*, const char* property,
                              sd_bus_message* reply, void* self, sd_bus_error*) {
  auto* dispatcher = static_cast<BusDispatcher*>(self);
  const std::string& value = std::strcmp(property, "AppId") == 0 ? dispatcher->settings_.appId
                                                                 : dispatcher->settings_.appVersion;
  return sd_bus_message_append(reply, "s", value.c_str());
}

}  // namespace ostrel_dbus
