// Script bindings of the in-process messaging library's controls, for the test suites.
//
//   reset({ setConfigResult, getInstanceCodes, isReady, isRefreshPending, sendCodes,
//           self, endPoints, completeRefreshes, throwIn })
//   calls() -> [{ op, args, result, type?, payload?, source?, destinations? }]
//   clearCalls(), setEndPoints([...]), setSelf({...}), setSendCodes([...])
//   deliver({ type, appId, appVersion, source, payload }) -> bool   (payload: string or Buffer)
//   completeRefresh() -> bool, waitIdle(ms) -> bool
//   listenerCount(), refreshCallbackCount(), instanceCount()
//
// Endpoints are { id, appId, appVersion }. Everything runs on the calling script thread;
// waitIdle blocks it until the library's thread has drained its queue.
#include <napi.h>

#include "ostrel_inproc/control.h"

namespace {

using ostrel_inproc::EndPointText;

std::string textOf(const Napi::Object& object, const char* key) {
  Napi::Value value = object.Get(key);
  if (value.IsUndefined() || value.IsNull()) return std::string();
  if (value.IsBuffer()) {
    auto buffer = value.As<Napi::Buffer<char>>();
    return std::string(buffer.Data(), buffer.Length());
  }
  return value.ToString().Utf8Value();
}

EndPointText endPointOf(Napi::Value value) {
  if (!value.IsObject()) return {};
  Napi::Object object = value.As<Napi::Object>();
  return {textOf(object, "id"), textOf(object, "appId"), textOf(object, "appVersion")};
}

std::vector<EndPointText> endPointsOf(Napi::Value value) {
  std::vector<EndPointText> result;
  if (!value.IsArray()) return result;
  Napi::Array array = value.As<Napi::Array>();
  for (uint32_t i = 0; i < array.Length(); ++i) result.push_back(endPointOf(array.Get(i)));
  return result;
}

template <typename T>
std::vector<T> listOf(Napi::Value value) {
  std::vector<T> result;
  if (!value.IsArray()) return result;
  Napi::Array array = value.As<Napi::Array>();
  for (uint32_t i = 0; i < array.Length(); ++i) {
    Napi::Value item = array.Get(i);
    if constexpr (std::is_same_v<T, bool>) {
      result.push_back(item.ToBoolean().Value());
    } else {
      result.push_back(item.ToNumber().Int32Value());
    }
  }
  return result;
}

Napi::Object endPointValue(Napi::Env env, const EndPointText& e) {
  Napi::Object object = Napi::Object::New(env);
  object.Set("id", e.id);
  object.Set("appId", e.appId);
  object.Set("appVersion", e.appVersion);
  return object;
}

Napi::Value Reset(const Napi::CallbackInfo& info) {
  ostrel_inproc::Script script;
  if (info.Length() > 0 && info[0].IsObject()) {
    Napi::Object o = info[0].As<Napi::Object>();
    if (o.Has("setConfigResult")) {
      script.setConfigResult = o.Get("setConfigResult").ToNumber().Int32Value();
    }
    script.getInstanceCodes = listOf<int>(o.Get("getInstanceCodes"));
    script.isReady = listOf<bool>(o.Get("isReady"));
    script.isRefreshPending = listOf<bool>(o.Get("isRefreshPending"));
    script.sendCodes = listOf<int>(o.Get("sendCodes"));
    script.self = endPointOf(o.Get("self"));
    script.endPoints = endPointsOf(o.Get("endPoints"));
    if (o.Has("completeRefreshes")) {
      script.completeRefreshes = o.Get("completeRefreshes").ToBoolean().Value();
    }
    script.throwIn = textOf(o, "throwIn");
  }
  ostrel_inproc::reset(script);
  return info.Env().Undefined();
}

Napi::Value Calls(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const auto calls = ostrel_inproc::calls();
  Napi::Array result = Napi::Array::New(env, calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    const auto& call = calls[i];
    Napi::Object object = Napi::Object::New(env);
    object.Set("op", call.op);
    Napi::Array args = Napi::Array::New(env, call.args.size());
    for (size_t a = 0; a < call.args.size(); ++a) args.Set(static_cast<uint32_t>(a), call.args[a]);
    object.Set("args", args);
    object.Set("result", call.result);
    if (call.op == "Send") {
      object.Set("type", call.type);
      object.Set("payload", call.payload);
      object.Set("source", endPointValue(env, call.source));
      Napi::Array destinations = Napi::Array::New(env, call.destinations.size());
      for (size_t d = 0; d < call.destinations.size(); ++d) {
        destinations.Set(static_cast<uint32_t>(d), endPointValue(env, call.destinations[d]));
      }
      object.Set("destinations", destinations);
    }
    result.Set(static_cast<uint32_t>(i), object);
  }
  return result;
}

Napi::Value ClearCalls(const Napi::CallbackInfo& info) {
  ostrel_inproc::clearCalls();
  return info.Env().Undefined();
}

Napi::Value SetEndPoints(const Napi::CallbackInfo& info) {
  ostrel_inproc::setEndPoints(endPointsOf(info[0]));
  return info.Env().Undefined();
}

Napi::Value SetSelf(const Napi::CallbackInfo& info) {
  ostrel_inproc::setSelf(endPointOf(info[0]));
  return info.Env().Undefined();
}

Napi::Value SetSendCodes(const Napi::CallbackInfo& info) {
  ostrel_inproc::setSendCodes(listOf<int>(info[0]));
  return info.Env().Undefined();
}

Napi::Value Deliver(const Napi::CallbackInfo& info) {
  if (info.Length() < 1 || !info[0].IsObject()) {
    throw Napi::TypeError::New(info.Env(), "deliver expects a message object");
  }
  Napi::Object o = info[0].As<Napi::Object>();
  ostrel_inproc::IncomingMessage message{textOf(o, "type"), textOf(o, "appId"),
                                         textOf(o, "appVersion"), endPointOf(o.Get("source")),
                                         textOf(o, "payload")};
  return Napi::Boolean::New(info.Env(), ostrel_inproc::deliver(message));
}

Napi::Value CompleteRefresh(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), ostrel_inproc::completeRefresh());
}

Napi::Value WaitIdle(const Napi::CallbackInfo& info) {
  const unsigned timeout = info.Length() > 0 ? info[0].ToNumber().Uint32Value() : 5000;
  return Napi::Boolean::New(info.Env(), ostrel_inproc::waitIdle(timeout));
}

Napi::Value ListenerCount(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), static_cast<double>(ostrel_inproc::listenerCount()));
}

Napi::Value RefreshCallbackCount(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), static_cast<double>(ostrel_inproc::refreshCallbackCount()));
}

Napi::Value InstanceCount(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), ostrel_inproc::instanceCount());
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("reset", Napi::Function::New(env, Reset));
  exports.Set("calls", Napi::Function::New(env, Calls));
  exports.Set("clearCalls", Napi::Function::New(env, ClearCalls));
  exports.Set("setEndPoints", Napi::Function::New(env, SetEndPoints));
  exports.Set("setSelf", Napi::Function::New(env, SetSelf));
  exports.Set("setSendCodes", Napi::Function::New(env, SetSendCodes));
  exports.Set("deliver", Napi::Function::New(env, Deliver));
  exports.Set("completeRefresh", Napi::Function::New(env, CompleteRefresh));
  exports.Set("waitIdle", Napi::Function::New(env, WaitIdle));
  exports.Set("listenerCount", Napi::Function::New(env, ListenerCount));
  exports.Set("refreshCallbackCount", Napi::Function::New(env, RefreshCallbackCount));
  exports.Set("instanceCount", Napi::Function::New(env, InstanceCount));
  return exports;
}

}  // namespace

NODE_API_MODULE(ostrel_inproc_control, Init)
