#include "busdispatcher.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "busaddress.h"
#include "messageaccess.h"
#include "ostrel_dbus/wire.h"

namespace ostrel_dbus {
namespace {

using api5::MessageAccess;

// Incoming messages handled per round before the round's events are delivered, so that
// listeners see messages promptly and the event list stays short.
constexpr int kMessagesPerRound = 64;
// At shutdown, messages still queued for the socket get this long to be written.
constexpr int kCloseFlushMs = 1000;
// The pause after the first failed attempt to reach a lost bus; it doubles up to
// BusDispatcher::kMaxRetryPauseMs.
constexpr int kFirstRetryPauseMs = 50;

// Holds off asynchronous signals on this thread while it joins the bus. sd-bus's blocking
// calls of the join (AddMatch, RequestName) give up with -EINTR when a signal arrives
// while they wait for the daemon, and a process that starts others gets a SIGCHLD at any
// moment: the join would fail for good. Held signals are delivered once it is done
// (to this thread, or to another that takes them meanwhile); faults are never held.
class AsyncSignalsHeld {
 public:
  AsyncSignalsHeld() {
    sigset_t held;
    sigfillset(&held);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
      sigdelset(&held, fault);
    }
    active_ = pthread_sigmask(SIG_BLOCK, &held, &previous_) == 0;
  }
  ~AsyncSignalsHeld() {
    if (active_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  AsyncSignalsHeld(const AsyncSignalsHeld&) = delete;
  AsyncSignalsHeld& operator=(const AsyncSignalsHeld&) = delete;

 private:
  sigset_t previous_;
  bool active_ = false;
};

}  // namespace

BusDispatcher::BusDispatcher(const Settings& settings)
    : settings_(settings), address_(withoutGuid(settings.address)) {}

BusDispatcher::~BusDispatcher() {
  // The library thread is gone (or was never started); nothing else uses the bus.
  participants_.detach();
  sends_.detach();
  connection_.reset();
}

api5::OstrelMessageErrorCode BusDispatcher::open(const Settings& settings,
                                                 std::shared_ptr<BusDispatcher>* dispatcher) {
  // The address is checked as given: dropping its guid must not make a malformed one
  // (a guid value with a stray '=') pass the check and be connected to.
  if (!isUsableBusAddress(settings.address)) return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  auto created = std::make_shared<BusDispatcher>(settings);
  if (!created->wakeup_.valid()) return api5::OSTREL_ERROR_FAILED;
  std::unique_ptr<BusConnection> connection;
  const api5::OstrelMessageErrorCode code = created->openConnection(&connection);
  if (code != api5::OSTREL_OK) return code;
  {
    std::lock_guard<std::mutex> lock(created->busMutex_);
    created->installLocked(std::move(connection));
  }
  *dispatcher = std::move(created);
  return api5::OSTREL_OK;
}

api5::OstrelMessageErrorCode BusDispatcher::openConnection(std::unique_ptr<BusConnection>* opened) {
  static const sd_bus_vtable kParticipantVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("AppId", "s", &BusDispatcher::onProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("AppVersion", "s", &BusDispatcher::onProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END};
  const AsyncSignalsHeld signalsHeld;
  // Whatever daemon runs at the address now: a guid in it would name one run only.
  std::unique_ptr<BusConnection> connection;
  api5::OstrelMessageErrorCode code = BusConnection::open(address_, &stop_, &connection);
  if (code != api5::OSTREL_OK) return code;
  // The handlers run only once the connection is installed: until then nothing calls
  // sd_bus_process() on it.
  const BusConnection::Handlers handlers{&SendTracker::onFilter,
                                         &sends_,
                                         &BusDispatcher::onApplicationMessage,
                                         this,
                                         &ParticipantList::onNameOwnerChanged,
                                         &participants_,
                                         kParticipantVtable,
                                         this};
  code = connection->subscribe(handlers);
  if (code != api5::OSTREL_OK) return code;
  std::string name;
  code = connection->claimName(settings_.appId, settings_.appVersion, &name);
  if (code != api5::OSTREL_OK) return code;
  *opened = std::move(connection);
  return api5::OSTREL_OK;
}

void BusDispatcher::installLocked(std::unique_ptr<BusConnection> connection) {
  connection_ = std::move(connection);
  uniqueName_ = connection_->uniqueName();
  sends_.attach(connection_->bus());
  participants_.attach(connection_->bus(), uniqueName_);
  participants_.requestRefresh();
  connected_ = true;
}

void BusDispatcher::loseConnectionLocked() {
  connected_ = false;
  sends_.detach();
  // Empties the list: the refresh callbacks below then see nobody.
  participants_.detach();
  connection_.reset();
  auto report = std::make_shared<api5::ErrorMessage>();
  MessageAccess::setSender(*report, settings_.appId, settings_.appVersion);
  events_.push_back({BusEvent::Kind::kError, report});
  events_.push_back({BusEvent::Kind::kRefreshed, nullptr});
  // The first attempt to reach the bus again is made at once.
  nextAttemptUsec_ = 0;
  retryPauseMs_ = 0;
}

void BusDispatcher::start() {
  auto self = shared_from_this();
  thread_ = std::thread([self] { self->run(); });
  libraryThread_ = thread_.get_id();
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

// ---------------------------------------------------------------------------------------
// The library thread

void BusDispatcher::run() {
  registrations_.setLibraryThread(std::this_thread::get_id());
  while (!stop_) {
    if (!connected_) {
      reconnect();
      continue;
    }
    const bool more = processSome();
    if (stop_) break;
    if (!more && connected_) waitForActivity();
  }
  if (!settledTold_) settle();
  flushAndClose();
}

bool BusDispatcher::processSome() {
  bool more = false;
  bool lost = false;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (connection_) {
      for (int i = 0; i < kMessagesPerRound; ++i) {
        const int r = connection_->process();
        if (r < 0) {
          loseConnectionLocked();
          lost = true;
          break;
        }
        if (r == 0) break;
        if (i == kMessagesPerRound - 1) more = true;
      }
      if (connection_ && sends_.syncDueUsec() != 0) sends_.syncIfDue(monotonicUsec());
      // A round does not wait for ever for participants that do not answer.
      if (connection_ && participants_.deadlineUsec() != UINT64_MAX) {
        participants_.expire(monotonicUsec());
      }
    }
    // What the wait after this round polls for, taken now rather than after the delivery:
    // a thread that a listener woke (to send, say) then finds busMutex_ free. Whatever
    // changes it later wakes the library thread through wakeup_ (Send when it queues or
    // plans a sync, RefreshEndPoints always).
    if (connection_) {
      waitFor_ = connection_->pollDescriptor();
      busDeadlineUsec_ = std::min(connection_->deadlineUsec(), participants_.deadlineUsec());
      syncDueUsec_ = sends_.syncDueUsec();
    } else {
      waitFor_ = {-1, 0, 0};
      busDeadlineUsec_ = UINT64_MAX;
      syncDueUsec_ = 0;
    }
    delivering_.swap(events_);
  }
  if (lost) std::fprintf(stderr, "ostrel: the connection to the bus was lost; reconnecting\n");
  deliverEvents(delivering_);
  if (!settledTold_ && (participants_.listed() || !connected_)) settle();
  const uint64_t finished = participants_.finishedRounds();
  if (finished != roundsTold_ || lost) {
    roundsTold_ = finished;
    {
      std::lock_guard<std::mutex> lock(startMutex_);
      finishedRounds_ = finished;
    }
    settledChanged_.notify_all();
  }
  return more;
}

void BusDispatcher::waitForActivity() {
  pollfd fds[2] = {{wakeup_.fd(), POLLIN, 0}, waitFor_};
  uint64_t dueUsec = busDeadlineUsec_;
  if (syncDueUsec_ != 0 && syncDueUsec_ < dueUsec) dueUsec = syncDueUsec_;
  if (changeHeld_ && nextChangeNoticeUsec_ < dueUsec) dueUsec = nextChangeNoticeUsec_;
  int timeoutMs = -1;
  if (dueUsec != UINT64_MAX) {
    const uint64_t now = monotonicUsec();
    timeoutMs = dueUsec <= now ? 0 : static_cast<int>((dueUsec - now + 999) / 1000);
  }
  if (poll(fds, fds[1].fd >= 0 ? 2 : 1, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
    wakeup_.drain();
  }
}

void BusDispatcher::reconnect() {
  const uint64_t now = monotonicUsec();
  if (now < nextAttemptUsec_) {
    // Only shutdown() wakes this wait early.
    pollfd wake = {wakeup_.fd(), POLLIN, 0};
    const int ms = static_cast<int>((nextAttemptUsec_ - now + 999) / 1000);
    if (poll(&wake, 1, ms) > 0) wakeup_.drain();
    return;
  }
  std::unique_ptr<BusConnection> connection;
  if (openConnection(&connection) != api5::OSTREL_OK) {
    retryPauseMs_ =
        retryPauseMs_ == 0 ? kFirstRetryPauseMs : std::min(2 * retryPauseMs_, kMaxRetryPauseMs);
    nextAttemptUsec_ = monotonicUsec() + static_cast<uint64_t>(retryPauseMs_) * 1000u;
    return;
  }
  std::string unique;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (stop_) return;  // `connection` closes as it goes out of scope
    installLocked(std::move(connection));
    unique = uniqueName_;
  }
  std::fprintf(stderr, "ostrel: reconnected to the bus as %s\n", unique.c_str());
}

void BusDispatcher::deliverEvents(BusEvents& events) {
  // Whether the refresh callbacks have seen the list as this round left it: the handlers
  // changed the list while the round was processed, so one call tells them all.
  bool told = false;
  for (const BusEvent& event : events) {
    switch (event.kind) {
      case BusEvent::Kind::kMessage:
        // A joiner's first message reaches listeners that know of the join.
        if (changeHeld_) {
          notifyRefreshed();
          told = true;
        }
        registrations_.deliver(*event.message, false);
        break;
      case BusEvent::Kind::kError:
        registrations_.deliver(*event.message, true);
        // A loss is reported before the callbacks see the emptied list.
        told = false;
        break;
      case BusEvent::Kind::kRefreshed:
        if (!told) notifyRefreshed();
        told = true;
        break;
      case BusEvent::Kind::kChanged:
        if (told) break;
        if (monotonicUsec() < nextChangeNoticeUsec_) {
          changeHeld_ = true;
          break;
        }
        notifyRefreshed();
        told = true;
        break;
    }
  }
  if (changeHeld_ && monotonicUsec() >= nextChangeNoticeUsec_) notifyRefreshed();
  events.clear();
}

void BusDispatcher::notifyRefreshed() {
  changeHeld_ = false;
  const uint64_t start = monotonicUsec();
  registrations_.notifyRefreshed();
  const uint64_t end = monotonicUsec();
  nextChangeNoticeUsec_ =
      end + std::min((end - start) * kChangeNoticeShare, kMaxChangeNoticeHoldUsec);
}

void BusDispatcher::settle() {
  settledTold_ = true;
  {
    std::lock_guard<std::mutex> lock(startMutex_);
    settled_ = true;
  }
  settledChanged_.notify_all();
}

bool BusDispatcher::waitUntilSettled(uint64_t timeoutUsec) {
  {
    std::unique_lock<std::mutex> lock(startMutex_);
    settledChanged_.wait_for(lock, std::chrono::microseconds(timeoutUsec),
                             [this] { return settled_; });
  }
  return IsReady();
}

bool BusDispatcher::listFor(uint64_t timeoutUsec) {
  // A listener or callback that asks waits for nothing: this thread makes the round.
  if (std::this_thread::get_id() == libraryThread_) return false;
  uint64_t round = 0;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (!connection_ || !connected_ || stop_) return false;
    round = participants_.requestRefresh(true);
  }
  if (round == 0) return false;
  wakeup_.notify();
  std::unique_lock<std::mutex> lock(startMutex_);
  return settledChanged_.wait_for(lock, std::chrono::microseconds(timeoutUsec), [&] {
    return finishedRounds_ >= round || !connected_ || stop_;
  }) && finishedRounds_ >= round;
}

void BusDispatcher::flushAndClose() {
  std::lock_guard<std::mutex> lock(busMutex_);
  // Give what Send queued a bounded chance to reach the daemon; never wait for ever.
  if (connection_) connection_->flush(kCloseFlushMs);
  connected_ = false;
  events_.clear();
  sends_.detach();
  participants_.detach();
  connection_.reset();
}

// ---------------------------------------------------------------------------------------
// Handlers

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
  // Through a buffer that keeps its capacity from message to message: the payload is
  // copied once, into the message, without a temporary of its own.
  std::string& bytes = dispatcher->payloadBuffer_;
  bytes.assign(payloadSize == 0 ? "" : static_cast<const char*>(payload), payloadSize);
  MessageAccess::setPayloadBytes(*received, bytes);
  dispatcher->events_.push_back({BusEvent::Kind::kMessage, std::move(received)});
  return 1;
}

int BusDispatcher::onProperty(sd_bus*, const char*, const char*, const char* property,
                              sd_bus_message* reply, void* self, sd_bus_error*) {
  auto* dispatcher = static_cast<BusDispatcher*>(self);
  const std::string& value = std::strcmp(property, "AppId") == 0 ? dispatcher->settings_.appId
                                                                 : dispatcher->settings_.appVersion;
  return sd_bus_message_append(reply, "s", value.c_str());
}

// ---------------------------------------------------------------------------------------
// Operations

// The limit Send applies is the one the interface promises.
static_assert(wire::kMaxContentBytes == api5::OSTREL_MAX_CONTENT_BYTES,
              "the content limit differs from the interface's");

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
  api5::OstrelMessageErrorCode result;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (!connection_ || !connected_ || stop_) return api5::OSTREL_ERROR_NOT_CONNECTED;
    result = sends_.send(type, payload, destinations, &wake);
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
    if (!connection_ || stop_) return;
    participants_.requestRefreshByCaller(monotonicUsec());
  }
  // The call's reply deadline changes the library thread's poll timeout, or the
  // callbacks are to be told at once.
  wakeup_.notify();
}

bool BusDispatcher::IsRefreshPending() {
  return participants_.pending();
}

api5::EndPoint BusDispatcher::GetSelf() {
  std::string unique;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    unique = uniqueName_;
  }
  return MessageAccess::makeEndPoint(unique, settings_.appId, settings_.appVersion);
}

bool BusDispatcher::IsReady() {
  return connected_ && participants_.listed() && !stop_;
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

}  // namespace ostrel_dbus
