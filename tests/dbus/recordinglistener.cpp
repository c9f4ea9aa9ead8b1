#include "recordinglistener.h"

#include <chrono>

#include "ostreltext.h"

namespace ostrel_dbus_test {

std::string RecordingListener::idOf(const api5::EndPoint& e) {
  return ostrel_text::idOf(e);
}
std::string RecordingListener::appIdOf(const api5::EndPoint& e) {
  return ostrel_text::appIdOf(e);
}
std::string RecordingListener::appVersionOf(const api5::EndPoint& e) {
  return ostrel_text::appVersionOf(e);
}

Received RecordingListener::read(const api5::OstrelMessage& message) {
  Received r;
  r.type = ostrel_text::typeOf(message);
  r.appId = ostrel_text::appIdOf(message);
  r.appVersion = ostrel_text::appVersionOf(message);
  if (ostrel_text::isApplicationType(r.type)) {
    const auto& suite = static_cast<const api5::SuiteMessage&>(message);
    r.source = idOf(suite.GetSource());
    r.payload = ostrel_text::payloadOf(suite);
  }
  return r;
}

void RecordingListener::Receive(const api5::OstrelMessage& message) {
  const Received record = read(message);
  std::function<void(const Received&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(record);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(record);
  }
  changed_.notify_all();
}

void RecordingListener::onRefreshed(void* self) {
  auto* listener = static_cast<RecordingListener*>(self);
  {
    std::lock_guard<std::mutex> lock(listener->mutex_);
    ++listener->refreshes_;
  }
  listener->changed_.notify_all();
}

void RecordingListener::setHook(std::function<void(const Received&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

bool RecordingListener::waitForMessages(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return messages_.size() >= count; });
}

bool RecordingListener::waitForRefreshes(long count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return refreshes_ >= count; });
}

bool RecordingListener::waitUntil(
    const std::function<bool(const std::vector<Received>&)>& predicate, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return predicate(messages_); });
}

std::vector<Received> RecordingListener::messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

long RecordingListener::refreshes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return refreshes_;
}

}  // namespace ostrel_dbus_test
