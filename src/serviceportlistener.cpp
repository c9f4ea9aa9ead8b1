#include "serviceportlistener.h"

#include <napi.h>

#include <iterator>
#include <utility>

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

// The queue of one thread-safe function handle. All fields are guarded by the listener's
// mutex_.
struct ServicePortListener::Channel {
  std::deque<ReceivedMessage> queued;
  size_t count = 0;  // queued plus being delivered
  size_t bytes = 0;  // footprint of the same
  // Wake-ups asked of the host and not yet run. Kept at least queued / kDeliveryBatch
  // (rounded up), so that every queued message has a wake-up that delivers it.
  size_t wakeUps = 0;
  uint64_t dropped = 0;  // since the last report
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
  if (channel.queued.size() > channel.wakeUps * kDeliveryBatch) {
    const napi_status status =
        napi_call_threadsafe_function(handle_, nullptr, napi_tsfn_nonblocking);
    if (status != napi_ok) {
      message = std::move(channel.queued.back());
      channel.queued.pop_back();
      if (status == napi_closing) {
        // The host is tearing the handle down: stop using it, and do not release it.
        forgetLocked();
      }
      return QueueResult::kRefused;
    }
    ++channel.wakeUps;
  }
  ++channel.count;
  channel.bytes += size;
  return QueueResult::kQueued;
}

void ServicePortListener::releaseLocked(napi_threadsafe_function_release_mode mode) {
  if (handle_ == nullptr) return;
  napi_release_threadsafe_function(handle_, mode);
  forgetLocked();
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

void ServicePortListener::deliver(napi_env env, napi_value callback, Channel& channel) {
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

  for (const ReceivedMessage& message : batch) {
    napi_value args[4];
    const std::string* texts[4] = {&message.type, &message.payload, &message.appId,
                                   &message.appVersion};
    bool made = true;
    for (int i = 0; i < 4 && made; ++i) {
      made = napi_create_string_utf8(env, texts[i]->data(), texts[i]->size(), &args[i]) == napi_ok;
    }
    napi_value undefined;
    napi_value result;
    if (!made || napi_get_undefined(env, &undefined) != napi_ok ||
        napi_call_function(env, undefined, callback, 4, args, &result) != napi_ok) {
      // A callback that throws reaches the uncaught-exception path; the batch goes on,
      // as separate deliveries would.
      reportPendingException(env);
    }
  }

  uint64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    channel.count -= batch.size();
    channel.bytes -= batchBytes;
    // Caught up: the burst of drops, if there was one, is over.
    if (channel.count == 0) dropped = std::exchange(channel.dropped, 0);
  }
  reportDrops(dropped);
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
