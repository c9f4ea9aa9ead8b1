// The host of the adapter's fuzz targets: a Node.js module that holds one real
// OstrelAdapter (the addon's own class, on the in-process messaging library) and runs a
// target over it, under libFuzzer in the fuzz build or over saved inputs in the normal
// build. fuzz/adapter/run.js loads it.
//
// Threads: everything here runs on the script thread, inside the module's `fuzz` call;
// only the inproc library's thread runs the adapter's Receive meanwhile. The target pumps
// the event loop itself (pumpUntil) so that getServicePort callbacks are delivered between
// its steps. Ownership: the host keeps the adapter's script object alive for the run.
#ifndef CORVELLE_FUZZ_ADAPTERHOST_H
#define CORVELLE_FUZZ_ADAPTERHOST_H

#include <napi.h>

#include <cstddef>
#include <string>
#include <vector>

#include "ostreladapter.h"

namespace corvelle_fuzz {

// One call of a getServicePort callback, as the script function got it.
struct Delivery {
  int callback = 0;  // which callback (AdapterHost::newCallback) was called
  std::string type;
  std::string payload;
  std::string appId;
  std::string appVersion;
};

class AdapterHost {
 public:
  static AdapterHost& instance();

  Napi::Env env() const { return Napi::Env(env_); }
  Napi::Object adapterObject() const { return adapter_.Value(); }
  corvelle::OstrelAdapter& adapter() const { return *adapterNative_; }

  // Calls a method of the adapter's script object. False when it threw; `error` then
  // holds the message.
  bool call(const char* method, const std::vector<napi_value>& args, std::string* error);
  // A new native script function for getServicePort, numbered from 1, that records each
  // call in deliveries().
  Napi::Function newCallback(int* id);
  std::vector<Delivery>& deliveries() { return deliveries_; }
  // Runs the event loop until `count` deliveries have been recorded, then a little more
  // so that a surplus shows. False when they did not all arrive within `timeoutMs`.
  bool pumpUntil(size_t count, unsigned timeoutMs);
  // What a text becomes on its way through a script string (invalid UTF-8 replaced).
  std::string throughScript(const std::string& text) const;

  Napi::Value run(const Napi::CallbackInfo& info);

 private:
  napi_env env_ = nullptr;
  Napi::ObjectReference adapter_;
  corvelle::OstrelAdapter* adapterNative_ = nullptr;
  std::vector<Napi::FunctionReference> callbacks_;
  std::vector<Delivery> deliveries_;
};

}  // namespace corvelle_fuzz

#endif  // CORVELLE_FUZZ_ADAPTERHOST_H
