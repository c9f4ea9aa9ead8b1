#include "benchparticipant.h"

#include <thread>

#include "ostreltext.h"

namespace ostrel_bench {

void BenchParticipant::Receive(const api5::OstrelMessage& message) {
  const int64_t now = monotonicNs();
  const std::string type = ostrel_text::typeOf(message);
  if (!ostrel_text::isApplicationType(type)) return;
  const auto& suite = static_cast<const api5::SuiteMessage&>(message);
  const std::string payload = ostrel_text::payloadOf(suite);
  if (mode_ == Mode::kEcho) {
    send(dispatcher_, type, payload, {suite.GetSource()});
  }
  bool reached;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    if (mode_ == Mode::kRecord) arrivals_.emplace_back(now, payload);
    reached = wanted_ != 0 && count_ >= wanted_;
  }
  if (reached) arrived_.notify_all();
}

bool BenchParticipant::waitForCount(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  wanted_ = count;
  const bool reached = arrived_.wait_for(lock, timeout, [&] { return count_ >= count; });
  wanted_ = 0;
  return reached;
}

size_t BenchParticipant::count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

std::vector<std::pair<int64_t, std::string>> BenchParticipant::arrivals() {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_;
}

void BenchParticipant::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  count_ = 0;
  arrivals_.clear();
}

api5::IOstrelMessageDispatcher* BenchParticipant::join(const std::string& appId,
                                                       std::chrono::milliseconds timeout) {
  if (api5::IOstrelMessageDispatcher::SetConfig(appId.c_str(), "1") != api5::OSTREL_OK) {
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  api5::IOstrelMessageDispatcher* dispatcher = nullptr;
  api5::OstrelMessageErrorCode code;
  while ((code = api5::IOstrelMessageDispatcher::GetInstance(&dispatcher)) ==
             api5::OSTREL_ERROR_TRY_AGAIN &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (code != api5::OSTREL_OK) return nullptr;
  while (!dispatcher->IsReady() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return dispatcher;
}

std::vector<api5::EndPoint> BenchParticipant::endPointsOf(
    api5::IOstrelMessageDispatcher* dispatcher, const std::string& appId,
    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    api5::EndPoint* array = nullptr;
    size_t count = 0;
    dispatcher->GetEndPoints(&array, &count);
    std::vector<api5::EndPoint> chosen;
    for (size_t i = 0; i < count; ++i) {
      if (ostrel_text::appIdOf(array[i]) == appId) {
        chosen.push_back(array[i]);
      }
    }
    if (count > 0) dispatcher->FreeEndPoints(array);
    if (!chosen.empty() || std::chrono::steady_clock::now() >= deadline) return chosen;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

api5::OstrelMessageErrorCode BenchParticipant::send(
    api5::IOstrelMessageDispatcher* dispatcher, const std::string& type, const std::string& payload,
    const std::vector<api5::EndPoint>& destinations) {
  api5::SuiteMessage message(type.c_str());
  message.SetSource(dispatcher->GetSelf());
  message.SetPayload(payload.c_str());
  if (!destinations.empty()) message.SetDestinations(destinations.data(), destinations.size());
  api5::OstrelMessageErrorCode code;
  while ((code = dispatcher->Send(message)) == api5::OSTREL_ERROR_TRY_AGAIN) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return code;
}

}  // namespace ostrel_bench
