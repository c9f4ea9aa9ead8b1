// A one-shot timer on the event loop of one script environment.
//
// Threads: every method runs on the thread of the loop it was made for, and the callback
// runs there too. Nothing here is safe to call from another thread.
//
// Ownership: owns its libuv handle. Destruction closes the handle; libuv frees it in the
// close callback, on the next turn of the loop, so the handle may outlive this object
// (never the other way round), and the callback is never called after destruction.
// The timer does not keep the loop alive.
#ifndef CORVELLE_LOOPTIMER_H
#define CORVELLE_LOOPTIMER_H

#include <node_api.h>
#include <uv.h>

#include <cstdint>

namespace corvelle {

class LoopTimer {
 public:
  using Callback = void (*)(void* data);

  // Made for the loop of `env`. valid() is false when the host gave no loop.
  LoopTimer(napi_env env, Callback callback, void* data);
  ~LoopTimer();

  LoopTimer(const LoopTimer&) = delete;
  LoopTimer& operator=(const LoopTimer&) = delete;

  bool valid() const { return handle_ != nullptr; }
  // Runs the callback once, `ms` milliseconds from now (a start while armed restarts it).
  void start(uint64_t ms);

 private:
  static void fired(uv_timer_t* handle);

  uv_timer_t* handle_ = nullptr;
  Callback callback_;
  void* data_;
};

}  // namespace corvelle

#endif  // CORVELLE_LOOPTIMER_H
