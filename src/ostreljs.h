// Module entry: the module registers as "Corvelle" and publishes the OstrelAdapter class.
#ifndef CORVELLE_OSTRELJS_H
#define CORVELLE_OSTRELJS_H

#include <napi.h>

namespace corvelle {

// Called once per environment that loads the module (the main thread, each worker).
Napi::Object initModule(Napi::Env env, Napi::Object exports);

}  // namespace corvelle

#endif  // CORVELLE_OSTRELJS_H
