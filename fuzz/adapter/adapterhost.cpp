#include "adapterhost.h"

#include <uv.h>

#include <chrono>
#include <thread>

#include "common/replay.h"
#include "teststreamlogger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
#ifdef CORVELLE_LIBFUZZER
extern "C" int LLVMFuzzerRunDriver(int* argc, char*** argv,
                                   int (*callback)(const uint8_t* data, size_t size));
#endif

namespace corvelle_fuzz {

AdapterHost& AdapterHost::instance() {
  static AdapterHost* host = new AdapterHost;
  return *host;
}

bool AdapterHost::call(const char* method, const std::vector<napi_value>& args,
                       std::string* error) {
  Napi::Object object = adapterObject();
  try {
    object.Get(method).As<Napi::Function>().Call(object, args);
    return true;
  } catch (const Napi::Error& e) {
    if (error != nullptr) *error = e.Message();
    return false;
  }
}

Napi::Function AdapterHost::newCallback(int* id) {
  const int number = static_cast<int>(callbacks_.size()) + 1;
  *id = number;
  Napi::Function callback =
      Napi::Function::New(env(), [this, number](const Napi::CallbackInfo& info) {
        Delivery delivery;
        delivery.callback = number;
        delivery.type = info[0].As<Napi::String>().Utf8Value();
        delivery.payload = info[1].As<Napi::String>().Utf8Value();
        delivery.appId = info[2].As<Napi::String>().Utf8Value();
        delivery.appVersion = info[3].As<Napi::String>().Utf8Value();
        deliveries_.push_back(std::move(delivery));
      });
  callbacks_.push_back(Napi::Persistent(callback));
  return callback;
}

bool AdapterHost::pumpUntil(size_t count, unsigned timeoutMs) {
  uv_loop_t* loop = nullptr;
  napi_get_uv_event_loop(env_, &loop);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (deliveries_.size() < count) {
    uv_run(loop, UV_RUN_NOWAIT);
    if (deliveries_.size() >= count) break;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // A stream timer may still be set: let it lapse, so that a surplus delivery shows.
  std::this_thread::sleep_for(std::chrono::microseconds(1100));
  uv_run(loop, UV_RUN_NOWAIT);
  return true;
}

std::string AdapterHost::throughScript(const std::string& text) const {
  return Napi::String::New(env(), text).Utf8Value();
}

Napi::Value AdapterHost::run(const Napi::CallbackInfo& info) {
  env_ = info.Env();
  Napi::Object object = info[0].As<Napi::Object>();
  adapter_ = Napi::Persistent(object);
  adapterNative_ = Napi::ObjectWrap<corvelle::OstrelAdapter>::Unwrap(object);
  // The adapter's diagnostic lines (a full cache logs one per message) would drown the
  // fuzzer's output and slow it down.
  corvelle::setCurrentLogger(nullptr);

  Napi::Array list = info[1].As<Napi::Array>();
  std::vector<std::string> args;
  for (uint32_t i = 0; i < list.Length(); ++i) {
    args.push_back(list.Get(i).As<Napi::String>().Utf8Value());
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(args.size());
  char** argvPointer = argv.data();
#ifdef CORVELLE_LIBFUZZER
  // Runs until a finding or the limits given; libFuzzer ends the process itself.
  const int result = LLVMFuzzerRunDriver(&argc, &argvPointer, &LLVMFuzzerTestOneInput);
#else
  const int result = replayInputs(argc, argvPointer, &LLVMFuzzerTestOneInput);
#endif
  return Napi::Number::New(env_, result);
}

}  // namespace corvelle_fuzz

namespace {

Napi::Object initFuzzModule(Napi::Env env, Napi::Object exports) {
  corvelle::OstrelAdapter::Init(env, exports);
  exports.Set("fuzz", Napi::Function::New(env, [](const Napi::CallbackInfo& info) {
                return corvelle_fuzz::AdapterHost::instance().run(info);
              }));
  return exports;
}

}  // namespace

NODE_API_MODULE(CorvelleFuzz, initFuzzModule)
