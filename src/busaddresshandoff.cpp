#include "busaddresshandoff.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "ostreladapter.h"

namespace corvelle {
namespace {

const char kAddressVariable[] = "OSTREL_BUS_ADDRESS";

bool setVariable(const std::string& value) {
#ifdef _WIN32
  return _putenv_s(kAddressVariable, value.c_str()) == 0;
#else
  return setenv(kAddressVariable, value.c_str(), 1) == 0;
#endif
}

// setBusAddress(address): OSTREL_BUS_ADDRESS := address in the C environment. Returns
// true when the next connection of the library uses it, false while adapters of this
// process already hold the library's connection: they, and adapters made meanwhile, stay
// on the bus it joined until all of them have gone.
Napi::Value setBusAddress(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) {
    throw Napi::TypeError::New(env, "Expected address to be a string");
  }
  const std::string address = info[0].As<Napi::String>().Utf8Value();
  if (address.empty() || std::memchr(address.data(), '\0', address.size()) != nullptr) {
    throw Napi::TypeError::New(env, "Expected address to be a non-empty string without zero bytes");
  }
  if (!setVariable(address)) throw Napi::Error::New(env, "Could not set OSTREL_BUS_ADDRESS");
  return Napi::Boolean::New(env, OstrelAdapter::libraryHolders() == 0);
}

}  // namespace

void defineBusAddressHandOff(Napi::Env env, Napi::Object exports) {
  exports.Set("setBusAddress", Napi::Function::New(env, setBusAddress, "setBusAddress"));
}

}  // namespace corvelle
