// Controls of the in-process messaging library, for tests only.
//
// The in-process library is a complete implementation of the messaging interface with
// no transport: a test scripts what each dispatcher operation answers, reads back every
// call made on the library in call order (messages sent included), and has messages and
// refresh completions delivered to the registered listeners and callbacks on the
// library's own thread, as the vendor library does.
//
// Every function here is safe from any thread.
#ifndef OSTREL_INPROC_CONTROL_H
#define OSTREL_INPROC_CONTROL_H

#include <cstddef>
#include <string>
#include <vector>

// Exported by the library; on Windows, where the library is a DLL, imported by its users.
#if defined(_WIN32)
#if defined(OSTREL_BUILDING_LIBRARY)
#define OSTREL_INPROC_API __declspec(dllexport)
#else
#define OSTREL_INPROC_API __declspec(dllimport)
#endif
#else
#define OSTREL_INPROC_API __attribute__((visibility("default")))
#endif

namespace ostrel_inproc {

struct EndPointText {
  std::string id;
  std::string appId;
  std::string appVersion;
};

// What the library answers. Sequences are consumed one entry per call; an exhausted
// sequence answers its default.
struct Script {
  int setConfigResult = 0;
  std::vector<int> getInstanceCodes;   // default 0
  std::vector<bool> isReady;           // default true
  std::vector<bool> isRefreshPending;  // default false
  std::vector<int> sendCodes;          // default 0
  EndPointText self;
  std::vector<EndPointText> endPoints;
  // RefreshEndPoints queues a refresh completion on the library's thread.
  bool completeRefreshes = true;
  // Name of one operation ("SetConfig", "IsReady", "Send", ...) that throws
  // std::runtime_error each time it is called.
  std::string throwIn;
};

// One call made on the library, in call order. `op` is the operation's name; "Pause" is
// recorded by the test build of the addon for each start-up pause.
struct CallRecord {
  std::string op;
  std::vector<std::string> args;
  int result = 0;
  // For "Send": the message as handed to the library.
  std::string type;
  std::string payload;
  EndPointText source;
  std::vector<EndPointText> destinations;  // empty: broadcast
};

struct IncomingMessage {
  std::string type;
  std::string appId;  // the sender's, as the message carries it
  std::string appVersion;
  EndPointText source;
  std::string payload;  // byte-exact; may hold zero bytes
};

// Resets scripted answers and the call record. Instances and registrations stay.
OSTREL_INPROC_API void reset(const Script& script);
OSTREL_INPROC_API void setEndPoints(const std::vector<EndPointText>& endPoints);
OSTREL_INPROC_API void setSelf(const EndPointText& self);
OSTREL_INPROC_API void setSendCodes(const std::vector<int>& codes);
OSTREL_INPROC_API std::vector<CallRecord> calls();
OSTREL_INPROC_API void clearCalls();
OSTREL_INPROC_API void recordPause(unsigned milliseconds);

// Queue work for the library's thread. False when no instance is held (no thread runs).
OSTREL_INPROC_API bool deliver(const IncomingMessage& message);
OSTREL_INPROC_API bool completeRefresh();
// Waits until the library's thread has nothing queued and runs nothing.
OSTREL_INPROC_API bool waitIdle(unsigned timeoutMilliseconds);

OSTREL_INPROC_API size_t listenerCount();
OSTREL_INPROC_API size_t refreshCallbackCount();
OSTREL_INPROC_API int instanceCount();

}  // namespace ostrel_inproc

#endif  // OSTREL_INPROC_CONTROL_H
