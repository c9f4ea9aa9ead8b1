#include "peersession.h"

#include <cstdio>

#include "jsonline.h"
#include "ostreltext.h"

namespace ostrel_peer {

std::string PeerSession::describe(const api5::OstrelMessage& message) {
  const std::string type = ostrel_text::typeOf(message);
  JsonLine line;
  line.text("type", type)
      .text("appId", ostrel_text::appIdOf(message))
      .text("appVersion", ostrel_text::appVersionOf(message));
  if (ostrel_text::isApplicationType(type)) {
    const auto& suite = static_cast<const api5::SuiteMessage&>(message);
    line.text("source", ostrel_text::idOf(suite.GetSource()))
        .bytes("payload", ostrel_text::payloadOf(suite));
  } else {
    line.text("source", "").text("payload", "");
  }
  return line.str();
}

std::string PeerSession::describe(const api5::EndPoint& endPoint, const char* idKey) {
  return JsonLine()
      .text(idKey, ostrel_text::idOf(endPoint))
      .text("appId", ostrel_text::appIdOf(endPoint))
      .text("appVersion", ostrel_text::appVersionOf(endPoint))
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
  const std::string type = ostrel_text::typeOf(message);
  if (echo_ && ostrel_text::isApplicationType(type)) {
    const auto& suite = static_cast<const api5::SuiteMessage&>(message);
    api5::SuiteMessage answer(type.c_str());
    const std::string payload = ostrel_text::payloadOf(suite);
    answer.SetPayload(payload.c_str());
    const api5::EndPoint source = suite.GetSource();
    answer.SetDestinations(&source, 1);
    answer.SetSource(dispatcher_->GetSelf());
    if (dispatcher_->Send(answer) != api5::OSTREL_OK) {
      std::fprintf(stderr, "ostrel-peer: echo to the sender failed\n");
    }
  }
  // The library's error report with the dispatcher no longer ready: the bus is gone.
  // The library would reconnect to a bus started again, but the tool's session (its
  // list, its count) belonged to the old one, so it ends here.
  const bool lost = type == api5::ErrorMessage::TYPE && !dispatcher_->IsReady();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++received_;
    if (lost) busLost_ = stopped_ = true;
  }
  changed_.notify_all();
}

bool PeerSession::busLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  return busLost_;
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
