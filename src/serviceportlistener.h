// The script callback of getServicePort, reachable from the messaging library's thread.
//
// Threads: set, release and releaseFor run on script threads; queue runs on the
// messaging library's thread; the delivery (callJs) runs on the script thread of the
// environment that created the handle.
//
// Locks: `mutex_` guards the handle and its environment, so that no queue call can use a
// handle after its release. It is held only around Node-API calls on the handle, never
// across a call into the messaging library or into script.
//
// Ownership: one per process (shared by every adapter). It owns the thread-safe function
// handle's one thread count until release. A queued ReceivedMessage is owned by the
// queue until callJs runs, which frees it in every case, also during teardown.
#ifndef CORVELLE_SERVICEPORTLISTENER_H
#define CORVELLE_SERVICEPORTLISTENER_H

#include <node_api.h>

#include <memory>
#include <mutex>
#include <string>

namespace corvelle {

// One incoming message on its way from the library's thread to the script thread.
struct ReceivedMessage {
  std::string type;
  std::string appId;
  std::string appVersion;
  std::string payload;
};

class ServicePortListener {
 public:
  enum class QueueResult { kNoListener, kQueued, kRefused };

  static ServicePortListener& instance();

  // Wraps `callback` in a new thread-safe function and keeps it; a handle held before is
  // released. Throws Napi::Error when the host refuses.
  void set(napi_env env, napi_value callback);
  // Releases the handle, if any.
  void release();
  // Releases the handle if it belongs to `env` (the environment is ending).
  void releaseFor(napi_env env);
  // Queues one message without blocking. kQueued: the queue owns the message now.
  // kRefused: the host refused it, and it is freed. kNoListener: no handle is held, and
  // the message stays with the caller.
  QueueResult queue(std::unique_ptr<ReceivedMessage>& message);

 private:
  ServicePortListener() = default;
  static void callJs(napi_env env, napi_value callback, void* context, void* data);
  void releaseLocked(napi_threadsafe_function_release_mode mode);

  std::mutex mutex_;
  napi_threadsafe_function handle_ = nullptr;
  napi_env env_ = nullptr;
};

}  // namespace corvelle

#endif  // CORVELLE_SERVICEPORTLISTENER_H
