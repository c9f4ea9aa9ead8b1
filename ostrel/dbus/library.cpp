#include "library.h"

#include "busrule.h"
#include "ostrel_dbus/wire.h"

namespace ostrel_dbus {
namespace {

// How long GetInstance waits for the first listing. A listing gives up on a participant
// that does not answer after BusConnection::kCallTimeoutUsec; until then the instance is
// handed out not ready, and becomes ready when the listing completes.
constexpr uint64_t kFirstListingWaitUsec = BusConnection::kCallTimeoutUsec;

}  // namespace

Library& Library::get() {
  static Library* library = new Library;
  return *library;
}

std::string Library::busAddress() {
  return chooseBusForProcess().address;
}

api5::OstrelMessageErrorCode Library::setConfig(const char* appId, const char* appVersion) {
  const std::string id = appId != nullptr ? appId : "";
  const std::string version = appVersion != nullptr ? appVersion : "";
  // Both texts travel as D-Bus strings in every message.
  if (id.empty() || !wire::isValidUtf8(id) || !wire::isValidUtf8(version)) {
    return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // A running instance keeps the texts it was opened with; these apply to the next one.
  appId_ = id;
  appVersion_ = version;
  configured_ = true;
  return api5::OSTREL_OK;
}

api5::OstrelMessageErrorCode Library::getInstance(api5::IOstrelMessageDispatcher** instance) {
  if (instance == nullptr) return api5::OSTREL_ERROR_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> lock(mutex_);
  if (instance_) {
    ++references_;
    *instance = instance_.get();
    return api5::OSTREL_OK;
  }
  if (!configured_) return api5::OSTREL_ERROR_NOT_CONFIGURED;
  const std::string address = busAddress();
  if (address.empty()) return api5::OSTREL_ERROR_NOT_CONNECTED;
  std::shared_ptr<BusDispatcher> opened;
  const api5::OstrelMessageErrorCode code =
      BusDispatcher::open(Settings{appId_, appVersion_, address}, &opened);
  if (code != api5::OSTREL_OK) return code;
  opened->start();
  // Handed out ready, with its list complete: its holder need not wait for it.
  opened->waitUntilSettled(kFirstListingWaitUsec);
  instance_ = std::move(opened);
  references_ = 1;
  *instance = instance_.get();
  return api5::OSTREL_OK;
}

void Library::releaseInstance() {
  std::shared_ptr<BusDispatcher> ending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (references_ == 0 || --references_ > 0) return;
    ending = std::move(instance_);
  }
  // `ending` keeps the dispatcher alive until its thread has been joined.
  ending->shutdown();
}

}  // namespace ostrel_dbus

namespace quorlen {
namespace ostrel {
namespace api5 {

OstrelMessageErrorCode IOstrelMessageDispatcher::SetConfig(const char* appId,
                                                           const char* appVersion) {
  return ostrel_dbus::Library::get().setConfig(appId, appVersion);
}

OstrelMessageErrorCode IOstrelMessageDispatcher::GetInstance(IOstrelMessageDispatcher** instance) {
  return ostrel_dbus::Library::get().getInstance(instance);
}

void IOstrelMessageDispatcher::ReleaseInstance() {
  ostrel_dbus::Library::get().releaseInstance();
}

}  // namespace api5
}  // namespace ostrel
}  // namespace quorlen
