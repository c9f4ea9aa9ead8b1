#include "recordinglistener.h"

#include <chrono>
#include <cstring>

namespace ostrel_dbus_test {
namespace {

template <typename Object, typename SizeGetter, typename Getter>
std::string readText(const Object& object, SizeGetter sizeOf, Getter get) {
  const size_t size = (object.*sizeOf)();
  if (size <= 1) return std::string();
  std::vector<char> buffer(size);
  if ((object.*get)(buffer.data(), size) != api5::OSTREL_OK) return "<buffer refused>";
  return std::string(buffer.data(), size - 1);
}

}  // namespace

std::string RecordingListener::idOf(const api5::EndPoint& e) {
  return readText(e, &api5::EndPoint::GetIdSize, &api5::EndPoint::GetId);
}
std::string RecordingListener::appIdOf(const api5::EndPoint& e) {
  return readText(e, &api5::EndPoint::GetAppIdSize, &api5::EndPoint::GetAppId);
}
std::string RecordingListener::appVersionOf(const api5::EndPoint& e) {
  return readText(e, &api5::EndPoint::GetAppVersionSize, &api5::EndPoint::GetAppVersion);
}

Received RecordingListener::read(const api5::OstrelMessage& message) {
  Received r;
  r.type = readText(message, &api5::OstrelMessage::GetTypeSize, &api5::OstrelMessage::GetType);
  r.appId = readText(message, &api5::OstrelMessage::GetAppIdSize, &api5::OstrelMessage::GetAppId);
  r.appVersion = readText(message, &api5::OstrelMessage::GetAppVersionSize,
                          &api5::OstrelMessage::GetAppVersion);
  if (r.type.compare(0, std::strlen(api5::SuiteMessage::TYPE_PREFIX),
                     api5::SuiteMessage::TYPE_PREFIX) == 0) {
    const auto& suite = static_cast<const api5::SuiteMessage&>(message);
    r.source = idOf(suite.GetSource());
    r.payload =
        readText(suite, &api5::SuiteMessage::GetPayloadSize, &api5::SuiteMessage::GetPayload);
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
