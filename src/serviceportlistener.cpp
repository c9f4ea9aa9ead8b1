#include "serviceportlistener.h"

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

// The host calls these entry points directly: nothing may escape into it.
template <typename Body>
void guarded(const char* where, Body&& body) {
  try {
    body();
  } catch (...) {
    CORVELLE_LOG(LOG_INFO, kLogCategory, where, "EXCEPTION in " << where);
  }
}

}  // namespace

size_t ReceivedMessage::footprint() const {
  return sizeof(ReceivedMessage) + type.size() + appId.size() + appVersion.size() + payload.size();
}

// The queue of one thread-safe function handle. `env` is fixed at creation. The fields
// up to `dropped` are guarded by the listener's mutex_; `stopped` is written under it on
// the script thread of `env`, which also reads it without the lock. `timer` and
// `lastDelivery` belong to the script thread of `env`.
struct ServicePortListener::Channel {
  explicit Channel(napi_env owner) : env(owner) {}

  const napi_env env;
  napi_threadsafe_function handle = nullptr;
  // The current handle of `env`, whose thread count the listener still holds.
  bool current = false;
  // Disconnected, or its environment is ending: its callback is not called again.
  bool stopped = false;
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
  // stream and destroyed with the channel.
  std::unique_ptr<LoopTimer> timer;
  // When the last delivery ended (steady clock).
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

bool ServicePortListener::set(napi_env env, napi_value callback) {
  napi_value name;
  if (napi_create_string_utf8(env, kResourceName, NAPI_AUTO_LENGTH, &name) != napi_ok) {
    return false;
  }
  auto channel = std::make_unique<Channel>(env);
  napi_threadsafe_function handle = nullptr;
  if (napi_create_threadsafe_function(env, callback, nullptr, name, 0, 1, channel.get(),
                                      &ServicePortListener::finalizeChannel, channel.get(),
                                      &ServicePortListener::callJs, &handle) != napi_ok) {
    return false;
  }
  // From here on the handle's finaliser owns the channel; it runs on this thread, later.
  Channel* made = channel.release();
  std::lock_guard<std::mutex> lock(mutex_);
  auto replaced = current_.find(env);
  if (replaced != current_.end()) releaseLocked(*replaced->second, napi_tsfn_release);
  made->handle = handle;
  made->current = true;
  current_[env] = made;
  channels_.emplace(env, made);
  return true;
}

void ServicePortListener::stop(napi_env env) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto range = channels_.equal_range(env);
  for (auto it = range.first; it != range.second; ++it) {
    discardLocked(*it->second);
    it->second->stopped = true;
  }
  // Nothing is queued any more, so releasing asks for no further wake-up; the ones
  // already asked for find the channel stopped.
  auto current = current_.find(env);
  if (current != current_.end()) releaseLocked(*current->second, napi_tsfn_release);
}

void ServicePortListener::endEnvironment(napi_env env) {
  std::lock_guard<std::mutex> lock(mutex_);
  // What is still queued is dropped, and freed with each channel by its finaliser.
  auto range = channels_.equal_range(env);
  for (auto it = range.first; it != range.second; ++it) it->second->stopped = true;
  auto current = current_.find(env);
  if (current != current_.end()) releaseLocked(*current->second, napi_tsfn_abort);
}

ServicePortListener::QueueResult ServicePortListener::queue(napi_env env,
                                                            ReceivedMessage& message) {
  const size_t size = message.footprint();
  std::lock_guard<std::mutex> lock(mutex_);
  auto current = current_.find(env);
  if (current == current_.end()) return QueueResult::kNoListener;
  Channel& channel = *current->second;
  if (channel.count > 0 &&
      (channel.count >= kMaxQueuedMessages || channel.bytes + size > kMaxQueuedBytes)) {
    ++channel.dropped;
    return QueueResult::kDropped;
  }
  channel.queued.push_back(std::move(message));
  if (!askWakeUpsLocked(channel)) {
    message = std::move(channel.queued.back());
    channel.queued.pop_back();
    return QueueResult::kRefused;
  }
  ++channel.count;
  channel.bytes += size;
  return QueueResult::kQueued;
}

void ServicePortListener::releaseLocked(Channel& channel,
                                        napi_threadsafe_function_release_mode mode) {
  if (!channel.current) return;
  if (mode == napi_tsfn_release) {
    // The timer stops covering the queue once the handle is not current: ask for every
    // wake-up that what is queued still needs while the handle may still be called.
    channel.timerArmed = false;
    askWakeUpsLocked(channel);
  }
  if (channel.current) napi_release_threadsafe_function(channel.handle, mode);
  forgetLocked(channel);
}

bool ServicePortListener::askWakeUpsLocked(Channel& channel) {
  while (channel.needsWakeUp()) {
    const napi_status status =
        napi_call_threadsafe_function(channel.handle, nullptr, napi_tsfn_nonblocking);
    if (status != napi_ok) {
      // The host is tearing the handle down: stop using it, and do not release it.
      if (status == napi_closing) forgetLocked(channel);
      return false;
    }
    ++channel.wakeUps;
  }
  return true;
}

void ServicePortListener::forgetLocked(Channel& channel) {
  if (!channel.current) return;
  channel.current = false;
  auto current = current_.find(channel.env);
  if (current != current_.end() && current->second == &channel) current_.erase(current);
}

void ServicePortListener::discardLocked(Channel& channel) {
  for (const ReceivedMessage& message : channel.queued) channel.bytes -= message.footprint();
  channel.count -= channel.queued.size();
  channel.queued.clear();
}

void ServicePortListener::callJs(napi_env env, napi_value callback, void* context, void* /*data*/) {
  // No environment: the handle is being torn down; its finaliser frees the queue.
  if (env == nullptr || callback == nullptr || context == nullptr) return;
  guarded("ServicePortListener::callJs",
          [&] { instance().deliver(env, callback, *static_cast<Channel*>(context)); });
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
    if (channel.stopped) return;
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
    // The callback disconnected (this thread wrote the flag): the rest is dropped.
    if (channel.stopped) break;
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
    if ((following || batch.size() > 1) && channel.current && !channel.timerArmed) {
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
  if (channel.current) askWakeUpsLocked(channel);
}

void ServicePortListener::streamPollDue(void* data) {
  guarded("ServicePortListener::streamPollDue", [data] {
    ServicePortListener& self = instance();
    auto& channel = *static_cast<Channel*>(data);
    std::lock_guard<std::mutex> lock(self.mutex_);
    // A replaced handle asked for the wake-ups its queue needed when it was replaced.
    if (!channel.current) return;
    channel.timerArmed = false;
    // Nothing came in: the stream has stopped, and the next arrival wakes the script
    // thread at once. Otherwise one wake-up delivers what came, and the timer is set again.
    self.askWakeUpsLocked(channel);
  });
}

void ServicePortListener::finalizeChannel(napi_env /*env*/, void* data, void* /*hint*/) {
  guarded("ServicePortListener::finalizeChannel", [data] {
    std::unique_ptr<Channel> channel(static_cast<Channel*>(data));
    ServicePortListener& self = instance();
    uint64_t dropped = 0;
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      // Torn down by the host while still current (the environment ended first).
      self.forgetLocked(*channel);
      auto range = self.channels_.equal_range(channel->env);
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second == channel.get()) {
          self.channels_.erase(it);
          break;
        }
      }
      dropped = channel->dropped;
    }
    reportDrops(dropped);
  });
}

}  // namespace corvelle
