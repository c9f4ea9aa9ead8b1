// OstrelAdapter: the script class of the module, its bridge to the messaging library and
// its cache of the endpoints on the bus.
//
// Threads: the script thread of the adapter's environment runs construction (with the
// start-up in initSelf), the four script methods and destruction. The messaging
// library's thread runs Receive (with the answers it sends) and the endpoint refresh
// callback, possibly while the script thread runs a method.
//
// Locks: the process-wide `cacheMutex` guards endPointCache_ and selfEndPoint_ of every
// adapter; `detailsMutex_` guards serverDetails_. Neither is held across a call into the
// messaging library or into script: values are copied out under the lock and used after
// it is released. cacheStale_ is atomic. ostrel_ is written only on the script thread, at
// start-up and at shutdown, while no library thread can reach the adapter.
//
// Ownership: script owns the adapter through its script object. The adapter owns its
// texts, its cache and its own endpoint by value. It holds one count on the library's
// dispatcher instance (given back at shutdown) and never owns the process-wide service
// port listener.
#ifndef CORVELLE_OSTRELADAPTER_H
#define CORVELLE_OSTRELADAPTER_H

#include <napi.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "answerlimiter.h"
#include "ostrel/OstrelMessage5.h"

namespace corvelle {

namespace api5 = quorlen::ostrel::api5;

// Message types of the developer-tools protocol and the service's application id.
extern const char* const kHostReadyType;
extern const char* const kServerReadyType;
extern const char* const kServerTerminatedType;
extern const char* const kClientConnectedType;
extern const char* const kServerInfoType;
extern const char* const kServiceAppId;
// Most endpoints the cache learns from incoming messages between two refreshes.
constexpr size_t kEndPointCacheLimit = 200;

class OstrelAdapter : public Napi::ObjectWrap<OstrelAdapter>, public api5::IOstrelMessageListener {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports);

  explicit OstrelAdapter(const Napi::CallbackInfo& info);
  // How many adapters of the process hold a count on the library's dispatcher; while one
  // does, a new adapter joins the bus that dispatcher is on. Any thread.
  static int libraryHolders();
  ~OstrelAdapter() override;

  OstrelAdapter(const OstrelAdapter&) = delete;
  OstrelAdapter& operator=(const OstrelAdapter&) = delete;

  // Messaging library thread.
  void Receive(const api5::OstrelMessage& message) override;

 private:
  // Script methods.
  Napi::Value getAppsList(const Napi::CallbackInfo& info);
  Napi::Value setServerDetails(const Napi::CallbackInfo& info);
  Napi::Value getServicePort(const Napi::CallbackInfo& info);
  Napi::Value disconnect(const Napi::CallbackInfo& info);

  // Start-up and shutdown of the bridge.
  void initSelf();
  // Removes the adapter from the dispatcher and gives the dispatcher back. Idempotent.
  void shutdownBridge();
  static void envCleanup(void* env);
  // Reads string argument `index` as a text without zero bytes; `name` is its name in the
  // TypeError otherwise.
  static std::string textArgument(const Napi::CallbackInfo& info, size_t index, const char* name);

  // Outgoing and incoming messages.
  void sendSuiteMessage(const std::string& messageType, const std::string& payload,
                        const std::string& appId, const std::string& appVersion);
  // Takes the texts by value: a delivered message keeps them without another copy.
  // `sender` is the endpoint id of the message's source.
  void handleKnownMessage(std::string type, std::string appId, std::string appVersion,
                          std::string payload, const std::string& sender);
  std::string serverDetails();

  // Endpoint cache.
  static void endPointsRefreshedCallback(void* context);
  void refreshEndPointsOstrelWillCallback();
  bool insertIfNotAlreadyCached(const api5::EndPoint& endPoint);
  std::vector<api5::EndPoint> selectDestinations(const std::string& appId,
                                                 const std::string& appVersion);
  void requestEndPointsRefresh();
  std::vector<api5::EndPoint> currentEndPoints();
  api5::EndPoint selfEndPoint();

  std::string configArg1_;
  std::string configArg2_;
  std::string targetAppId_;
  std::mutex detailsMutex_;
  std::string serverDetails_;
  api5::IOstrelMessageDispatcher* ostrel_ = nullptr;
  std::atomic<bool> cacheStale_{false};
  std::multimap<std::string, api5::EndPoint> endPointCache_;
  api5::EndPoint selfEndPoint_;

  // Server information answered per sender (see AnswerLimiter).
  AnswerLimiter serverInfoAnswers_;

  napi_env env_ = nullptr;
  bool installedLogger_ = false;
};

}  // namespace corvelle

#endif  // CORVELLE_OSTRELADAPTER_H
