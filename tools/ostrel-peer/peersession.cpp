#include "peersession.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "jsonline.h"

namespace ostrel_peer {
namespace {

// The library's size-then-get protocol for texts.
template <typename Object, typename SizeGetter, typename Getter>
std::string readText(const Object& object, SizeGetter sizeOf, Getter get) {
  const size_t size = (object.*sizeOf)();
  if (size <= 1) return std::string();
  std::vector<char> buffer(size);
  if ((object.*get)(buffer.data(), size) != api5::OSTREL_OK) return std::string();
  return std::string(buffer.data(), size - 1);
}

bool isApplicationMessage(const std::string& type) {
  return type.compare(0, std::strlen(api5::SuiteMessage::TYPE_PREFIX),
                      api5::SuiteMessage::TYPE_PREFIX) == 0;
}

}  // namespace

std::string PeerSession::describe(const api5::OstrelMessage& message) {
  const std::string type =
      readText(message, &api5::OstrelMessage::GetTypeSize, &api5::OstrelMessage::GetType);
  JsonLine line;
  line.text("type", type)
      .text("appId",
            readText(message, &api5::OstrelMessage::GetAppIdSize, &api5::OstrelMessage::GetAppId))
      .text("appVersion", readText(message, &api5::OstrelMessage::GetAppVersionSize,
                                   &api5::OstrelMessage::GetAppVersion));
  if (isApplicationMessage(type)) {
    const auto& suite = static_cast<const api5::SuiteMessage&>(message);
    const api5::EndPoint source = suite.GetSource();
    line.text("source", readText(source, &api5::EndPoint::GetIdSize, &api5::EndPoint::GetId))
        .bytes("payload", readText(suite, &api5::SuiteMessage::GetPayloadSize,
                                   &api5::SuiteMessage::GetPayload));
  } else {
    line.text("source", "").text("payload", "");
  }
  return line.str();
}

std::string PeerSession::describe(const api5::EndPoint& endPoint, const char* idKey) {
  return JsonLine()
      .text(idKey, readText(endPoint, &api5::EndPoint::GetIdSize, &api5::EndPoint::GetId))
      .text("appId", readText(endPoint, &api5::EndPoint::GetAppIdSize, &api5::EndPoint::GetAppId))
      .text("appVersion",
            readText(endPoint, &api5::EndPoint::GetAppVersionSize, &api5::EndPoint::GetAppVersion))
      .str();
}

void PeerSession::print(const std::string& line) {
  std::lock_guard<std::mutex> lock(printMutex_);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PeerSession::Receive(const api5::OstrelMessage& message) {
  if (!quiet_) print(describe(message));
  const std::string type =
      readText(message, &api5::OstrelMessage::GetTypeSize, &api5::OstrelMessage::GetType);
  if (echo_ && isApplicationMessage(type)) {
    const auto& suite = static_cast<const api5::SuiteMessage&>(message);
    api5::SuiteMessage answer(type.c_str());
    const std::string payload =
        readText(suite, &api5::SuiteMessage::GetPayloadSize, &api5::SuiteMessage::GetPayload);
    answer.SetPayload(payload.c_str());
    const api5::EndPoint source = suite.GetSource();
    answer.SetDestinations(&source, 1);
    answer.SetSource(dispatcher_->GetSelf());
    if (dispatcher_->Send(answer) != api5::OSTREL_OK) {
      std::fprintf(stderr, "ostrel-peer: echo to the sender failed\n");
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++received_;
  }
  changed_.notify_all();
}

bool PeerSession::waitFor(long count, bool hasDeadline,
                          std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto done = [&] { return stopped_ || (count >= 0 && received_ >= count); };
  if (hasDeadline) {
    changed_.wait_until(lock, deadline, done);
  } else {
    changed_.wait(lock, done);
  }
  return count >= 0 && received_ >= count;
}

void PeerSession::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

long PeerSession::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

}  // namespace ostrel_peer
