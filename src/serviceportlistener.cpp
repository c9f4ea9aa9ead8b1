#include "serviceportlistener.h"

#include <napi.h>

#include <chrono>
#include <iterator>
#include <memory>
#include <utility>

#include "looptimer.h"
#include "teststreamlogger.h"

namespace corvelle {

namespace {

const char kResourceName[] = "Ostrel Message Listener";
const char kLogCategory[] = "ostreladapter";

// Hands an exception left pending by the callback to the process's uncaught-exception
// path; left pending, the host would only swallow it with a warning.
void reportPendingException(napi_env env) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) return;
  napi_value exception;
  if (napi_get_and_clear_last_exception(env, &exception) == napi_ok) {
    napi_fatal_exception(env, exception);
  }
}

void reportDrops(uint64_t dropped) {
  if (dropped == 0) return;
  CORVELLE_LOG(LOG_INFO, kLogCategory, "ServicePortListener::deliver",
               "WARNING Script callback fell behind - dropped "
                   << dropped << " messages while its delivery queue was full");
}

}  // namespace

size_t ReceivedMessage::footprint() const {
  return sizeof(ReceivedMessage) + type.size() + appId.size() + appVersion.size() + payload.size();
}

// The queue of one thread-safe function handle. All fields but `timer` are guarded by the
// listener's mutex_; `timer` belongs to the script thread of the handle's environment.
struct ServicePortListener::Channel {
  std::deque<ReceivedMessage> queued;
  size_t count = 0;  // queued plus being delivered
  size_t bytes = 0;  // footprint of the same
  // Wake-ups asked of the host and not yet run. Together with an armed timer (which
  // covers one batch) they cover every queued message: queued.size() never exceeds
  // (wakeUps + timerArmed) * kDeliveryBatch.
  size_t wakeUps = 0;
  bool timerArmed = false;
  uint64_t dropped = 0;  // since the last report
  // Picks up messages while they stream in (see kStreamPollMs). Made at the first
  // stream and destroyed with the channel, both on the script thread of the handle's
  // environment.
  std::unique_ptr<LoopTimer> timer;
  // When the last delivery ended (steady clock; script thread only).
  std::chrono::steady_clock::time_point lastDelivery;

  // The wake-ups the queue still needs.
  bool needsWakeUp() const {
    return queued.size() > (wakeUps + (timerArmed ? 1 : 0)) * kDeliveryBatch;
  }
};

ServicePortListener& ServicePortListener::instance() {
  // Never destroyed: the library's thread may still ask for it while the process exits.
  static ServicePortListener* listener = new ServicePortListener;
  return *listener;
}

void ServicePortListener::set(napi_env env, napi_value callback) {
  napi_value name;
  napi_status status = napi_create_string_utf8(env, kResourceName, NAPI_AUTO_LENGTH, &name);
  auto* channel = new Channel;
  napi_threadsafe_function handle = nullptr;
  if (status == napi_ok) {
    status = napi_create_threadsafe_function(env, callback, nullptr, name, 0, 1, channel,
                                             &ServicePortListener::finalizeChannel, channel,
                                             &ServicePortListener::callJs, &handle);
  }
  if (status != napi_ok) {
    delete channel;
    throw Napi::Error::New(env);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  releaseLocked(napi_tsfn_release);
  handle_ = handle;
  channel_ = channel;
  env_ = env;
}

void ServicePortListener::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  releaseLocked(napi_tsfn_release);
}

void ServicePortListener::releaseFor(napi_env env) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The environment is going away: what is still queued is dropped (and freed with the
  // channel by the finaliser).
  if (env_ == env) releaseLocked(napi_tsfn_abort);
}

ServicePortListener::QueueResult ServicePortListener::queue(ReceivedMessage& message) {
  const size_t size = message.footprint();
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle_ == nullptr) return QueueResult::kNoListener;
  Channel& channel = *channel_;
  if (channel.count > 0 &&
      (channel.count >= kMaxQueuedMessages || channel.bytes + size > kMaxQueuedBytes)) {
    ++channel.dropped;
    return QueueResult::kDropped;
  }
  channel.queued.push_back(std::move(message));
  if (!askWakeUpsLocked()) {
    message = std::move(channel.queued.back());
    channel.queued.pop_back();
    return QueueResult::kRefused;
  }
  ++channel.count;
  channel.bytes += size;
  return QueueResult::kQueued;
}

void ServicePortListener::releaseLocked(napi_threadsafe_function_release_mode mode) {
  if (handle_ == nullptr) return;
  if (mode == napi_tsfn_release) {
    // The timer stops covering the queue once the handle is not current: ask for every
    // wake-up that what is queued still needs while the handle may still be called.
    channel_->timerArmed = false;
    askWakeUpsLocked();
  }
  if (handle_ != nullptr) napi_release_threadsafe_function(handle_, mode);
  forgetLocked();
}

bool ServicePortListener::askWakeUpsLocked() {
  Channel& channel = *channel_;
  while (channel.needsWakeUp()) {
    const napi_status status =
        napi_call_threadsafe_function(handle_, nullptr, napi_tsfn_nonblocking);
    if (status != napi_ok) {
      // The host is tearing the handle down: stop using it, and do not release it.
      if (status == napi_closing) forgetLocked();
      return false;
    }
    ++channel.wakeUps;
  }
  return true;
}

void ServicePortListener::forgetLocked() {
  handle_ = nullptr;
  channel_ = nullptr;
  env_ = nullptr;
}

void ServicePortListener::callJs(napi_env env, napi_value callback, void* context, void* /*data*/) {
  // No environment: the handle is being torn down; its finaliser frees the queue.
  if (env == nullptr || callback == nullptr || context == nullptr) return;
  instance().deliver(env, callback, *static_cast<Channel*>(context));
}

namespace {

// Script strings for one batch. Consecutive messages mostly carry the same type and
// sender texts, so a text equal to the one made just before reuses its value.
class BatchStrings {
 public:
  explicit BatchStrings(napi_env env) : env_(env) {}

  bool make(const std::string& text, size_t slot, napi_value* value) {
    Last& last = last_[slot];
    if (last.text != nullptr && *last.text == text) {
      *value = last.value;
      return true;
    }
    if (!create(text, value)) return false;
    last = {&text, *value};
    return true;
  }

 private:
  struct Last {
    const std::string* text = nullptr;
    napi_value value = nullptr;
  };

  bool create(const std::string& text, napi_value* value) {
    // Plain ASCII is the same in Latin-1, which the engine copies without decoding.
    bool ascii = true;
    for (const char c : text) ascii = ascii && (static_cast<unsigned char>(c) < 0x80);
    const napi_status status =
        ascii ? napi_create_string_latin1(env_, text.data(), text.size(), value)
              : napi_create_string_utf8(env_, text.data(), text.size(), value);
    return status == napi_ok;
  }

  napi_env env_;
  Last last_[4];
};

}  // namespace

void ServicePortListener::deliver(napi_env env, napi_value callback, Channel& channel) {
  const auto began = std::chrono::steady_clock::now();
  // Messages keep coming: this wake-up follows the last delivery within one timer period.
  const bool following = began - channel.lastDelivery < std::chrono::milliseconds(kStreamPollMs);
  std::deque<ReceivedMessage> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel.wakeUps > 0) --channel.wakeUps;
    if (channel.queued.size() <= kDeliveryBatch) {
      batch.swap(channel.queued);  // the common case: the whole queue, without a copy
    } else {
      auto end = channel.queued.begin() + kDeliveryBatch;
      batch.assign(std::make_move_iterator(channel.queued.begin()), std::make_move_iterator(end));
      channel.queued.erase(channel.queued.begin(), end);
    }
  }
  // Measured outside the lock: the counts only shrink once the batch is delivered.
  size_t batchBytes = 0;
  for (const ReceivedMessage& message : batch) batchBytes += message.footprint();

  napi_value undefined = nullptr;
  const bool haveUndefined = napi_get_undefined(env, &undefined) == napi_ok;
  BatchStrings strings(env);
  for (const ReceivedMessage& message : batch) {
    napi_value args[4];
    const std::string* texts[4] = {&message.type, &message.payload, &message.appId,
                                   &message.appVersion};
    bool made = haveUndefined;
    for (size_t i = 0; i < 4 && made; ++i) made = strings.make(*texts[i], i, &args[i]);
    napi_value result;
    if (!made || napi_call_function(env, undefined, callback, 4, args, &result) != napi_ok) {
      // A callback that throws reaches the uncaught-exception path; the batch goes on,
      // as separate deliveries would.
      reportPendingException(env);
    }
  }

  uint64_t dropped = 0;
  bool poll = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    channel.count -= batch.size();
    channel.bytes -= batchBytes;
    // Caught up: the burst of drops, if there was one, is over.
    if (channel.count == 0) dropped = std::exchange(channel.dropped, 0);
    // Messages are streaming in: let the timer pick up the next ones instead of a
    // wake-up per arrival.
    if ((following || batch.size() > 1) && channel_ == &channel && !channel.timerArmed) {
      channel.timerArmed = true;
      poll = true;
    }
  }
  if (poll) startStreamPoll(env, channel);
  channel.lastDelivery = std::chrono::steady_clock::now();
  reportDrops(dropped);
}

void ServicePortListener::startStreamPoll(napi_env env, Channel& channel) {
  // Made on first use, so that a handle that never sees a stream costs no timer.
  if (!channel.timer) {
    channel.timer = std::make_unique<LoopTimer>(env, &ServicePortListener::streamPollDue, &channel);
  }
  if (channel.timer->valid()) {
    channel.timer->start(kStreamPollMs);
    return;
  }
  // No timer here: arrivals wake the script thread again.
  std::lock_guard<std::mutex> lock(mutex_);
  channel.timerArmed = false;
  if (channel_ == &channel) askWakeUpsLocked();
}

void ServicePortListener::streamPollDue(void* data) {
  ServicePortListener& self = instance();
  auto* channel = static_cast<Channel*>(data);
  std::lock_guard<std::mutex> lock(self.mutex_);
  // A released handle asked for the wake-ups its queue needed when it was released.
  if (self.channel_ != channel) return;
  channel->timerArmed = false;
  // Nothing came in: the stream has stopped, and the next arrival wakes the script
  // thread at once. Otherwise one wake-up delivers what came, and the timer is set again.
  self.askWakeUpsLocked();
}

void ServicePortListener::finalizeChannel(napi_env /*env*/, void* data, void* /*hint*/) {
  auto* channel = static_cast<Channel*>(data);
  ServicePortListener& self = instance();
  uint64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(self.mutex_);
    // Torn down by the host while still current (the environment ended first).
    if (self.channel_ == channel) self.forgetLocked();
    dropped = channel->dropped;
  }
  reportDrops(dropped);
  delete channel;
}

}  // namespace corvelle
