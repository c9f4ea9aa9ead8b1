// The script callback of getServicePort, reachable from the messaging library's thread.
//
// One current handle per script environment (the main thread, each worker): a handle
// set in one environment serves the adapters of that environment only. Setting,
// disconnecting and the end of an environment act on that environment's handles and
// never on another's, and what an adapter receives goes to its own environment's
// callback (or, when that environment has none, is answered as without a callback).
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
// Stopping: disconnect stops every handle of its environment at once. What they still
// queue is dropped, and their callbacks are not called again, also not for the rest of a
// batch that is being delivered when the callback itself disconnects. A handle that a
// later set replaces is not stopped: the messages already queued to it still reach it.
//
// Threads: set, stop and endEnvironment run on the script thread of the environment they
// name; queue runs on the messaging library's thread; delivery (callJs), the timer and a
// handle's finaliser run on the script thread of the environment that created the handle.
//
// Locks: `mutex_` guards the table of handles and the queue, counters and flags of every
// channel. It is held for queue updates and Node-API calls on a handle (call/release,
// which never wait), never across a call into the library or into script.
//
// Ownership: one per process. It owns one thread count of each environment's current
// handle until that handle is replaced, stopped or its environment ends. Each handle owns
// its Channel (freed by the handle's finaliser, with whatever it still queues, and with
// its timer); a queued message belongs to its channel until delivery moves it out. A
// replaced handle keeps its channel until the messages already queued to it have reached
// its callback: replacing asks for every wake-up they still need, since the timer no
// longer covers them.
#ifndef CORVELLE_SERVICEPORTLISTENER_H
#define CORVELLE_SERVICEPORTLISTENER_H

#include <node_api.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
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

  // Wraps `callback` in a new thread-safe function and makes it the current handle of
  // `env`; the handle it replaces is released (what it still queues reaches its own
  // callback). False when the host refused; nothing changes then.
  bool set(napi_env env, napi_value callback);
  // Stops every handle of `env` (disconnect): their callbacks are not called again and
  // what they still queue is dropped. The current one is released.
  void stop(napi_env env);
  // `env` is ending: its handles deliver nothing more and its current one is aborted.
  // Other environments' handles are left alone.
  void endEnvironment(napi_env env);
  // Queues one message received by an adapter of `env`, without blocking. kQueued: the
  // message was moved into the queue. kDropped: over the limits; kRefused: the host
  // refused the wake-up. kNoListener: `env` holds no handle. In every case but kQueued
  // the message is left to the caller.
  QueueResult queue(napi_env env, ReceivedMessage& message);

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
  // Asks `channel`'s handle for every wake-up its queue needs (mutex_ held). False when
  // the host refused one; a handle that the host is closing is given up.
  bool askWakeUpsLocked(Channel& channel);
  // Gives up the thread count of the current handle of `channel.env` (mutex_ held).
  void releaseLocked(Channel& channel, napi_threadsafe_function_release_mode mode);
  // `channel` is no longer its environment's current handle (mutex_ held).
  void forgetLocked(Channel& channel);
  // Drops what `channel` still queues (mutex_ held).
  static void discardLocked(Channel& channel);

  std::mutex mutex_;
  // Every channel whose handle the host has not finalised yet, by environment, and the
  // current one of each environment. Guarded by mutex_.
  std::multimap<napi_env, Channel*> channels_;
  std::map<napi_env, Channel*> current_;
};

}  // namespace corvelle

#endif  // CORVELLE_SERVICEPORTLISTENER_H
