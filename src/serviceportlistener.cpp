#include "serviceportlistener.h"

#include <napi.h>

namespace corvelle {

namespace {

const char kResourceName[] = "Ostrel Message Listener";

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

}  // namespace

ServicePortListener& ServicePortListener::instance() {
  // Never destroyed: the library's thread may still ask for it while the process exits.
  static ServicePortListener* listener = new ServicePortListener;
  return *listener;
}

void ServicePortListener::set(napi_env env, napi_value callback) {
  napi_value name;
  napi_status status = napi_create_string_utf8(env, kResourceName, NAPI_AUTO_LENGTH, &name);
  napi_threadsafe_function handle = nullptr;
  if (status == napi_ok) {
    status = napi_create_threadsafe_function(env, callback, nullptr, name, 0, 1, nullptr, nullptr,
                                             nullptr, &ServicePortListener::callJs, &handle);
  }
  if (status != napi_ok) throw Napi::Error::New(env);
  std::lock_guard<std::mutex> lock(mutex_);
  releaseLocked(napi_tsfn_release);
  handle_ = handle;
  env_ = env;
}

void ServicePortListener::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  releaseLocked(napi_tsfn_release);
}

void ServicePortListener::releaseFor(napi_env env) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The environment is going away: what is still queued is dropped (and freed by callJs).
  if (env_ == env) releaseLocked(napi_tsfn_abort);
}

ServicePortListener::QueueResult ServicePortListener::queue(
    std::unique_ptr<ReceivedMessage>& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle_ == nullptr) return QueueResult::kNoListener;
  const napi_status status =
      napi_call_threadsafe_function(handle_, message.get(), napi_tsfn_nonblocking);
  if (status == napi_ok) {
    message.release();  // owned by the queue now; callJs frees it
    return QueueResult::kQueued;
  }
  if (status == napi_closing) {
    // The host is tearing the handle down: stop using it, and do not release it.
    handle_ = nullptr;
    env_ = nullptr;
  }
  message.reset();
  return QueueResult::kRefused;
}

void ServicePortListener::releaseLocked(napi_threadsafe_function_release_mode mode) {
  if (handle_ == nullptr) return;
  napi_release_threadsafe_function(handle_, mode);
  handle_ = nullptr;
  env_ = nullptr;
}

void ServicePortListener::callJs(napi_env env, napi_value callback, void* /*context*/, void* data) {
  std::unique_ptr<ReceivedMessage> message(static_cast<ReceivedMessage*>(data));
  // No environment: the handle is being torn down and the item is only freed.
  if (env == nullptr || callback == nullptr || !message) return;

  napi_value args[4];
  const std::string* texts[4] = {&message->type, &message->payload, &message->appId,
                                 &message->appVersion};
  for (int i = 0; i < 4; ++i) {
    if (napi_create_string_utf8(env, texts[i]->data(), texts[i]->size(), &args[i]) != napi_ok) {
      reportPendingException(env);
      return;
    }
  }
  napi_value undefined;
  if (napi_get_undefined(env, &undefined) != napi_ok) return;
  napi_value result;
  if (napi_call_function(env, undefined, callback, 4, args, &result) != napi_ok) {
    reportPendingException(env);
  }
}

}  // namespace corvelle
