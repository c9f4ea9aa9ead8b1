#include "chainedroundtrip.h"

#include "benchparticipant.h"
#include "ostreltext.h"

namespace ostrel_bench {

bool ChainedRoundTrip::run(long warmUp, long count, std::chrono::milliseconds timeout,
                           std::string* error) {
  std::string first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    sequence_ = 0;
    warmUp_ = warmUp;
    total_ = warmUp + count;
    inFlight_ = "0";
    refused_ = api5::OSTREL_OK;
    us_ = Samples();
    first = inFlight_;
    sentNs_ = monotonicNs();
  }
  const auto code = send(first);
  std::unique_lock<std::mutex> lock(mutex_);
  if (code != api5::OSTREL_OK) finishLocked(code);
  if (!finished_.wait_for(lock, timeout, [&] { return !running_; })) {
    running_ = false;
    *error = "an answer did not come back";
    return false;
  }
  if (refused_ != api5::OSTREL_OK) {
    *error = "send refused (code " + std::to_string(refused_) + ")";
    return false;
  }
  return true;
}

Samples ChainedRoundTrip::samples() {
  std::lock_guard<std::mutex> lock(mutex_);
  return us_;
}

void ChainedRoundTrip::Receive(const api5::OstrelMessage& message) {
  const int64_t now = monotonicNs();
  const std::string type = ostrel_text::typeOf(message);
  if (!ostrel_text::isApplicationType(type)) return;
  const std::string payload =
      ostrel_text::payloadOf(static_cast<const api5::SuiteMessage&>(message));
  std::string next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || payload != inFlight_) return;
    if (sequence_ >= warmUp_) us_.add(static_cast<double>(now - sentNs_) / 1000.0);
    if (++sequence_ == total_) {
      finishLocked(api5::OSTREL_OK);
    } else {
      inFlight_ = std::to_string(sequence_);
      next = inFlight_;
      sentNs_ = monotonicNs();
    }
  }
  if (next.empty()) {
    finished_.notify_all();
    return;
  }
  const auto code = send(next);
  if (code == api5::OSTREL_OK) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finishLocked(code);
  }
  finished_.notify_all();
}

api5::OstrelMessageErrorCode ChainedRoundTrip::send(const std::string& payload) {
  // Built as BenchParticipant::send builds it, so both library figures send the same
  // message; sent once, since a retry would sleep on the library's thread.
  api5::SuiteMessage message(type_.c_str());
  message.SetSource(dispatcher_->GetSelf());
  message.SetPayload(payload.c_str());
  message.SetDestinations(echo_.data(), echo_.size());
  return dispatcher_->Send(message);
}

void ChainedRoundTrip::finishLocked(api5::OstrelMessageErrorCode refused) {
  running_ = false;
  refused_ = refused;
}

}  // namespace ostrel_bench
