#include "busconnection.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>

#include "busaddress.h"
#include "ostrel_dbus/wire.h"
#include "participantname.h"

namespace ostrel_dbus {
namespace {

// The wait for Hello looks at `stop` at least this often.
constexpr uint64_t kStopCheckUsec = 100000;
// Random fallback names tried before the participant gives up joining.
constexpr int kFallbackAttempts = 4;

enum class Failure { kNotThereYet, kClosed, kRefused, kBadAddress };

// What a failure while connecting or waiting for Hello means.
Failure classify(int r) {
  switch (-r) {
    case ENOENT:
    case ECONNREFUSED:
    case EAGAIN:
    case ETIMEDOUT:
      return Failure::kNotThereYet;
    case ECONNRESET:
    case ENOTCONN:
    case EPIPE:
      return Failure::kClosed;
    case EINVAL:
      return Failure::kBadAddress;
    default:
      // EPERM (authentication refused), EACCES (access denied) and anything else.
      return Failure::kRefused;
  }
}

api5::OstrelMessageErrorCode codeOf(Failure failure) {
  switch (failure) {
    case Failure::kNotThereYet:
    case Failure::kClosed:
      return api5::OSTREL_ERROR_TRY_AGAIN;
    case Failure::kBadAddress:
      return api5::OSTREL_ERROR_INVALID_ARGUMENT;
    case Failure::kRefused:
      break;
  }
  return api5::OSTREL_ERROR_FAILED;
}

// A failure of a call made once connected: the bus going away is "try again", anything
// else (AccessDenied, a limit) is the bus refusing us.
api5::OstrelMessageErrorCode callFailure(int r) {
  const Failure failure = classify(r);
  return failure == Failure::kNotThereYet || failure == Failure::kClosed
             ? api5::OSTREL_ERROR_TRY_AGAIN
             : api5::OSTREL_ERROR_FAILED;
}

std::string randomToken() {
  static const char kHex[] = "0123456789ABCDEF";
  std::random_device device;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string token;
  for (int i = 0; i < 16; ++i) token += kHex[digit(device)];
  return token;
}

}  // namespace

uint64_t monotonicUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

MessagePtr newMethodCall(sd_bus* bus, const char* destination, const char* path,
                         const char* interface, const char* member) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member) < 0) {
    return nullptr;
  }
  MessagePtr call(raw);
  sd_bus_message_set_auto_start(call.get(), 0);
  return call;
}

BusConnection::~BusConnection() {
  slots_.clear();
  bus_.reset();
}

api5::OstrelMessageErrorCode BusConnection::open(const std::string& address,
                                                 const std::atomic<bool>* stop,
                                                 std::unique_ptr<BusConnection>* opened) {
  if (!isUsableBusAddress(address)) return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  bool closedAfterConnect = false;
  api5::OstrelMessageErrorCode code = tryOpen(address, stop, opened, &closedAfterConnect);
  if (!closedAfterConnect) return code;
  // The daemon took the connection and closed it before answering Hello. A daemon that
  // was just going away does not take the next one; one that refuses this user (another
  // user's bus, or a policy that denies us) closes it again at once.
  closedAfterConnect = false;
  code = tryOpen(address, stop, opened, &closedAfterConnect);
  return closedAfterConnect ? api5::OSTREL_ERROR_FAILED : code;
}

api5::OstrelMessageErrorCode BusConnection::tryOpen(const std::string& address,
                                                    const std::atomic<bool>* stop,
                                                    std::unique_ptr<BusConnection>* opened,
                                                    bool* closedAfterConnect) {
  std::unique_ptr<BusConnection> connection(new BusConnection);
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return api5::OSTREL_ERROR_FAILED;
  connection->bus_.reset(raw);
  sd_bus* bus = raw;
  if (sd_bus_set_address(bus, address.c_str()) < 0) return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  sd_bus_set_bus_client(bus, 1);
  sd_bus_negotiate_fds(bus, 0);
  sd_bus_set_method_call_timeout(bus, kSetupTimeoutUsec);

  int r = sd_bus_start(bus);
  if (r < 0) return codeOf(classify(r));

  // Authentication, then the daemon's answer to Hello, which gives the unique name.
  const uint64_t deadline = monotonicUsec() + kSetupTimeoutUsec;
  while ((r = sd_bus_is_ready(bus)) == 0) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    const uint64_t now = monotonicUsec();
    if (now >= deadline || (stop != nullptr && *stop)) return api5::OSTREL_ERROR_TRY_AGAIN;
    sd_bus_wait(bus, std::min(deadline - now, kStopCheckUsec));
  }
  if (r < 0) {
    const Failure failure = classify(r);
    if (failure == Failure::kClosed) *closedAfterConnect = true;
    return codeOf(failure);
  }
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus, &unique) < 0 || unique == nullptr) {
    return api5::OSTREL_ERROR_TRY_AGAIN;
  }
  connection->uniqueName_ = unique;
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  *opened = std::move(connection);
  return api5::OSTREL_OK;
}

api5::OstrelMessageErrorCode BusConnection::subscribe(const Handlers& handlers) {
  sd_bus* bus = bus_.get();
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_filter(bus, &slot, handlers.sendErrors, handlers.sendErrorsData) < 0) {
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
  int r =
      sd_bus_add_match(bus, &slot, messageRule.c_str(), handlers.messages, handlers.messagesData);
  if (r < 0) return callFailure(r);
  slots_.emplace_back(slot);
  r = sd_bus_add_match(bus, &slot, ownerRule.c_str(), handlers.owners, handlers.ownersData);
  if (r < 0) return callFailure(r);
  slots_.emplace_back(slot);

  r = sd_bus_add_object_vtable(bus, &slot, wire::kObjectPath, wire::kParticipantInterface,
                               handlers.participantVtable, handlers.participantData);
  if (r < 0) return api5::OSTREL_ERROR_FAILED;
  slots_.emplace_back(slot);
  return api5::OSTREL_OK;
}

api5::OstrelMessageErrorCode BusConnection::claimName(const std::string& appId,
                                                      const std::string& appVersion,
                                                      std::string* owned) {
  const std::string name = ParticipantName::forParticipant(uniqueName_, appId, appVersion);
  int r = sd_bus_request_name(bus_.get(), name.c_str(), 0);
  if (r >= 0) {
    *owned = name;
    return api5::OSTREL_OK;
  }
  if (r != -EEXIST) return callFailure(r);
  for (int attempt = 0; attempt < kFallbackAttempts; ++attempt) {
    const std::string fallback =
        ParticipantName::fallbackForParticipant(uniqueName_, randomToken());
    r = sd_bus_request_name(bus_.get(), fallback.c_str(), 0);
    if (r == -EEXIST) continue;
    if (r < 0) return callFailure(r);
    std::fprintf(stderr,
                 "ostrel: the participant name %s is owned by another connection; "
                 "joined the bus as %s\n",
                 name.c_str(), fallback.c_str());
    *owned = fallback;
    return api5::OSTREL_OK;
  }
  return api5::OSTREL_ERROR_FAILED;
}

int BusConnection::process() {
  return sd_bus_process(bus_.get(), nullptr);
}

pollfd BusConnection::pollDescriptor() const {
  const int fd = sd_bus_get_fd(bus_.get());
  const int events = sd_bus_get_events(bus_.get());
  if (fd < 0 || events < 0) return {-1, 0, 0};
  return {fd, static_cast<short>(events), 0};
}

uint64_t BusConnection::deadlineUsec() const {
  uint64_t until = UINT64_MAX;
  if (sd_bus_get_timeout(bus_.get(), &until) < 0) return UINT64_MAX;
  return until;
}

bool BusConnection::hasUnwritten() const {
  const int events = sd_bus_get_events(bus_.get());
  return events > 0 && (events & POLLOUT) != 0;
}

void BusConnection::flush(int timeoutMs) {
  const uint64_t deadline = monotonicUsec() + static_cast<uint64_t>(timeoutMs) * 1000u;
  for (;;) {
    const int events = sd_bus_get_events(bus_.get());
    if (events < 0 || (events & POLLOUT) == 0) return;
    if (sd_bus_process(bus_.get(), nullptr) < 0) return;
    const uint64_t now = monotonicUsec();
    if (now >= deadline) return;
    pollfd fd = {sd_bus_get_fd(bus_.get()), POLLOUT, 0};
    poll(&fd, 1, static_cast<int>((deadline - now) / 1000) + 1);
  }
}

}  // namespace ostrel_dbus
