#include "looptimer.h"

namespace corvelle {

LoopTimer::LoopTimer(napi_env env, Callback callback, void* data)
    : callback_(callback), data_(data) {
  uv_loop_t* loop = nullptr;
  if (napi_get_uv_event_loop(env, &loop) != napi_ok || loop == nullptr) return;
  auto* handle = new uv_timer_t;
  if (uv_timer_init(loop, handle) != 0) {
    delete handle;
    return;
  }
  handle->data = this;
  uv_unref(reinterpret_cast<uv_handle_t*>(handle));
  handle_ = handle;
}

LoopTimer::~LoopTimer() {
  if (handle_ == nullptr) return;
  // Closing stops the timer; the handle is freed once libuv is done with it.
  handle_->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(handle_),
           [](uv_handle_t* handle) { delete reinterpret_cast<uv_timer_t*>(handle); });
}

void LoopTimer::start(uint64_t ms) {
  if (handle_ != nullptr) uv_timer_start(handle_, &LoopTimer::fired, ms, 0);
}

void LoopTimer::fired(uv_timer_t* handle) {
  auto* self = static_cast<LoopTimer*>(handle->data);
  if (self != nullptr) self->callback_(self->data_);
}

}  // namespace corvelle
