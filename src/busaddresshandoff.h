// Hands a bus address to the messaging library: the library reads OSTREL_BUS_ADDRESS from
// the process's C environment when it opens its connection, and not every script runtime
// copies its own `process.env` there (Node and Deno do, Bun does not). The module's
// `setBusAddress(address)` writes the variable itself.
//
// Threads: the script thread that calls it. The library reads the variable only while an
// adapter is constructed (on a script thread), so the call belongs before the adapters
// that are to use the address, on the thread that makes them.
#ifndef CORVELLE_BUSADDRESSHANDOFF_H
#define CORVELLE_BUSADDRESSHANDOFF_H

#include <napi.h>

namespace corvelle {

// Adds `setBusAddress` to the module's exports.
void defineBusAddressHandOff(Napi::Env env, Napi::Object exports);

}  // namespace corvelle

#endif  // CORVELLE_BUSADDRESSHANDOFF_H
