#include "ostreljs.h"

#include "busaddresshandoff.h"
#include "ostreladapter.h"

namespace corvelle {

Napi::Object initModule(Napi::Env env, Napi::Object exports) {
  OstrelAdapter::Init(env, exports);
  defineBusAddressHandOff(env, exports);
  return exports;
}

}  // namespace corvelle

// Symbol-based registration: each environment that loads the module calls initModule,
// which lets worker threads load it as well as the main thread.
static Napi::Object registerCorvelle(Napi::Env env, Napi::Object exports) {
  return corvelle::initModule(env, exports);
}
NODE_API_MODULE(Corvelle, registerCorvelle)
