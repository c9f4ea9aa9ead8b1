// The script callback of getServicePort, reachable from the messaging library's thread.
//
// Delivery path: the library's thread appends each message to a bounded native queue
// (the handle's Channel) and wakes the script thread through the thread-safe function
// only when the queue needs another wake-up: when it goes from empty to non-empty, and
// once more for every further kDeliveryBatch messages queued before the script thread
// runs. Each wake-up delivers up to kDeliveryBatch messages in queue order. When more
// than one message was waiting for a wake-up, or the wake-up came within kStreamPollMs of
// the last delivery (messages stream in), the script thread sets a timer of
// kStreamPollMs instead of waiting to be woken per arrival: while it is set, arrivals do
// not wake the script thread (up to a batch), and when it runs it takes what came with
// one wake-up and sets itself again; when nothing came, the next arrival wakes the
// script thread at once, as before. A single message in a quiet period is thus
// delivered at once, and a stream costs a wake-up per batch or per timer period instead
// of one per message. The library's thread never waits: a message that does not fit
// under the limits is dropped (and not answered), the drops are counted, and one
// diagnostic line tells how many once the queue has drained again (or when its handle
// goes away).
//
// Threads: set, release and releaseFor run on script threads; queue runs on the
// messaging library's thread; delivery (callJs), the timer and the handle's finaliser
// run on the script thread of the environment that created the handle.
//
// Locks: `mutex_` guards the current handle, its channel and the queue and counters of
// every channel. It is held for queue updates and Node-API calls on a handle
// (call/release, which never wait), never across a call into the library or into script.
//
// Ownership: one per process (shared by every adapter). It owns the current handle's one
// thread count until release. Each handle owns its Channel (freed by the handle's
// finaliser, with whatever it still queues, and with its timer); a queued message belongs
// to its channel until delivery moves it out. A replaced or released handle keeps its
// channel until the messages already queued to it have reached its callback: releasing
// asks for every wake-up they still need, since the timer no longer covers them.
#ifndef CORVELLE_SERVICEPORTLISTENER_H
#define CORVELLE_SERVICEPORTLISTENER_H

#include <node_api.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace corvelle {

// One incoming message on its way from the library's thread to the script thread.
struct ReceivedMessage {
  std::string type;
  std::string appId;
  std::string appVersion;
  std::string payload;

  // What the message costs while queued: its texts plus a fixed share for the record.
  size_t footprint() const;
};

class ServicePortListener {
 public:
  enum class QueueResult { kNoListener, kQueued, kDropped, kRefused };

  // Limits of one handle's queue; messages being delivered still count. The byte limit
  // bounds the memory a callback that falls behind can tie up; the count limit bounds
  // the records of small messages. One message that alone exceeds the byte limit is
  // still taken when nothing else is queued, so that no message size blocks delivery.
  static constexpr size_t kMaxQueuedMessages = 4096;
  static constexpr size_t kMaxQueuedBytes = 16u << 20;
  // Most messages delivered per wake-up of the script thread.
  static constexpr size_t kDeliveryBatch = 128;
  // While messages stream in, the script thread takes them this often (the event loop's
  // timers count whole milliseconds); this is the most a message of a stream waits.
  static constexpr uint64_t kStreamPollMs = 1;

  static ServicePortListener& instance();

  // Wraps `callback` in a new thread-safe function and keeps it; a handle held before is
  // released (what it still queues reaches its own callback). Throws Napi::Error when the
  // host refuses.
  void set(napi_env env, napi_value callback);
  // Releases the handle, if any.
  void release();
  // Aborts the handle if it belongs to `env` (the environment is ending).
  void releaseFor(napi_env env);
  // Queues one message without blocking. kQueued: the message was moved into the queue.
  // kDropped: over the limits; kRefused: the host refused the wake-up. kNoListener: no
  // handle is held. In every case but kQueued the message is left to the caller.
  QueueResult queue(ReceivedMessage& message);

 private:
  struct Channel;

  ServicePortListener() = default;
  static void callJs(napi_env env, napi_value callback, void* context, void* data);
  static void finalizeChannel(napi_env env, void* data, void* hint);
  void deliver(napi_env env, napi_value callback, Channel& channel);
  // Sets the stream timer of `channel` (script thread of `env`).
  void startStreamPoll(napi_env env, Channel& channel);
  // The stream timer of a channel ran (script thread).
  static void streamPollDue(void* channel);
  // Asks the current handle for every wake-up its queue needs (mutex_ held). False when
  // the host refused one; a handle that the host is closing is forgotten.
  bool askWakeUpsLocked();
  void releaseLocked(napi_threadsafe_function_release_mode mode);
  // Drops the current handle without releasing it (mutex_ held).
  void forgetLocked();

  std::mutex mutex_;
  napi_threadsafe_function handle_ = nullptr;  // guarded by mutex_
  Channel* channel_ = nullptr;                 // guarded by mutex_; owned by handle_
  napi_env env_ = nullptr;                     // guarded by mutex_
};

}  // namespace corvelle

#endif  // CORVELLE_SERVICEPORTLISTENER_H
