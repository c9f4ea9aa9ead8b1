#include "ostreladapter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>

#include "cachemutex.h"
#include "librarytext.h"
#include "platformpause.h"
#include "serviceportlistener.h"
#include "teststreamlogger.h"

namespace corvelle {

const char* const kHostReadyType = "zem.devtools.host.ready";
const char* const kServerReadyType = "zem.devtools.server.ready";
const char* const kServerTerminatedType = "zem.devtools.server.terminated";
const char* const kClientConnectedType = "zem.devtools.cli.client.connected";
const char* const kServerInfoType = "zem.devtools.server.info";
const char* const kServiceAppId = "QOVR";

namespace {

const char kLogCategory[] = "ostreladapter";

// Incoming types the adapter acts on, in the order they are looked for.
const char* const kHandledMessageTypes[] = {kHostReadyType, kClientConnectedType, kServerInfoType};

const char kDestinationUnreachable[] = "DestinationUnreachable";

// Start-up limits.
constexpr int kGetInstanceAttempts = 100;
constexpr api5::OstrelMessageErrorCode kTryAgainLater = 4;
constexpr unsigned kGetInstancePauseMs = 6000;
constexpr int kWaitPauses = 20;
constexpr unsigned kWaitPauseMs = 50;

// Server information from one sender is answered again only after this much quiet from
// it (see AnswerLimiter); the table of recent senders holds at most this many.
constexpr std::chrono::milliseconds kServerInfoQuietPeriod{1000};
constexpr size_t kServerInfoSenders = 1024;

// Announcements and requests answered per sender: a burst of this many, then this many
// a second (see SenderRateLimit); the table holds as many senders as the shipped bus
// allows connections.
constexpr double kAnswersPerSecond = 5;
constexpr double kAnswerBurst = 10;
constexpr size_t kAnswerSenders = 4096;

struct HostApp {
  std::string shortCode;
  std::string displayName;
};

// The host applications that getAppsList reports, by application id.
const std::unordered_map<std::string, HostApp>& knownHostApps() {
  static const auto* apps = new std::unordered_map<std::string, HostApp>{
      {"RSTN", {"RS", "Quorlen Rasterine"}}, {"WRLM", {"WL", "Quorlen WL"}},
      {"VCTR", {"VC", "Quorlen Vectrine"}},  {"FOLM", {"FO", "Quorlen Folium"}},
      {"ZEMD", {"ZEMD", "ZEM Demo App"}},
  };
  return *apps;
}

// The bus type prefix of every outgoing message; built once, safely across threads.
const std::string& busTypePrefix() {
  static const std::string* prefix = new std::string("ostrel.SuiteMessage.");
  return *prefix;
}

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// Live adapters by environment, so that an ending environment can stop their bridges
// before its finalisers run. Touched only on script threads.
std::mutex registryMutex;
std::multimap<napi_env, OstrelAdapter*>& adapterRegistry() {
  static auto* registry = new std::multimap<napi_env, OstrelAdapter*>;
  return *registry;
}

// Environments whose cleanup hook is registered (one hook per environment).
std::set<napi_env>& hookedEnvironments() {
  static auto* environments = new std::set<napi_env>;
  return *environments;
}

// Logs an exception that reached an entry point the host calls, where it must not escape.
void logEscaped(const char* where) {
  try {
    throw;
  } catch (const std::exception& e) {
    CORVELLE_LOG(LOG_INFO, kLogCategory, where, "EXCEPTION in " << where << ": " << e.what());
  } catch (...) {
    CORVELLE_LOG(LOG_INFO, kLogCategory, where, "EXCEPTION in " << where);
  }
}

void unregisterAdapter(napi_env env, OstrelAdapter* adapter) {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto range = adapterRegistry().equal_range(env);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == adapter) {
      adapterRegistry().erase(it);
      return;
    }
  }
}

// Adapters holding a count on the dispatcher, across every environment.
std::atomic<int> dispatcherHolders{0};

}  // namespace

int OstrelAdapter::libraryHolders() {
  return dispatcherHolders.load();
}

// ---------------------------------------------------------------------------------------
// Module entry and construction

Napi::Object OstrelAdapter::Init(Napi::Env env, Napi::Object exports) {
  Napi::Function cls = DefineClass(
      env, "OstrelAdapter",
      {
          InstanceMethod("getAppsList", &OstrelAdapter::entry<&OstrelAdapter::getAppsList>),
          InstanceMethod("setServerDetails",
                         &OstrelAdapter::entry<&OstrelAdapter::setServerDetails>),
          InstanceMethod("getServicePort", &OstrelAdapter::entry<&OstrelAdapter::getServicePort>),
          InstanceMethod("disconnect", &OstrelAdapter::entry<&OstrelAdapter::disconnect>),
          StaticValue("MAX_MESSAGE_BYTES",
                      Napi::Number::New(env, double(api5::OSTREL_MAX_CONTENT_BYTES)),
                      napi_enumerable),
      });
  // The class function lives as long as its environment; a repeated initialisation in
  // the same environment replaces the reference it held.
  if (auto* constructor = env.GetInstanceData<Napi::FunctionReference>()) {
    *constructor = Napi::Persistent(cls);
  } else {
    env.SetInstanceData(new Napi::FunctionReference(Napi::Persistent(cls)));
  }
  cacheMutex();
  bool firstInEnv;
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    firstInEnv = hookedEnvironments().insert(env).second;
  }
  if (firstInEnv) {
    const napi_status status = napi_add_env_cleanup_hook(env, &OstrelAdapter::envCleanup, env);
    if (status != napi_ok) throw Napi::Error::New(env);
  }
  exports.Set("OstrelAdapter", cls);
  return exports;
}

OstrelAdapter::OstrelAdapter(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<OstrelAdapter>(info),
      serverInfoAnswers_(kServerInfoQuietPeriod, kServerInfoSenders),
      answerRate_(kAnswersPerSecond, kAnswerBurst, kAnswerSenders),
      env_(info.Env()) {
  try {
    if (info.Length() < 2) {
      throw Napi::TypeError::New(info.Env(), "Wrong number of arguments");
    }
    configArg1_ = textArgument(info, 0, "appId");
    configArg2_ = textArgument(info, 1, "appVersion");
    // An explicit undefined is the same as leaving the target out.
    targetAppId_ = info.Length() >= 3 && !info[2].IsUndefined()
                       ? textArgument(info, 2, "targetAppId")
                       : std::string();

    moduleStreamLogger().setLevel(LOG_INFO);
    setCurrentLogger(&moduleStreamLogger());
    installedLogger_ = true;

    {
      std::lock_guard<std::mutex> lock(registryMutex);
      adapterRegistry().emplace(env_, this);
    }
    initSelf();
  } catch (const Napi::Error&) {
    // Reaches script as the constructor's exception (or, in an ending environment, is
    // dropped by the host's wrapper instead of ending the process).
    throw;
  } catch (...) {
    // Anything else (an allocation that failed, say) must not escape into the host: the
    // adapter stays off the bus, and its destructor undoes what was done.
    logEscaped("OstrelAdapter::OstrelAdapter");
  }
}

// The library takes texts up to their first zero byte: a text with one inside would
// silently become another text (a target that never matches, another application id, a
// payload cut short for every host and client), so it is refused rather than cut.
std::string OstrelAdapter::textArgument(const Napi::CallbackInfo& info, size_t index,
                                        const char* name) {
  std::string text = info[index].As<Napi::String>().Utf8Value();
  if (text.find('\0') != std::string::npos) {
    throw Napi::TypeError::New(
        info.Env(), std::string("Expected ") + name + " to be a string without zero bytes");
  }
  return text;
}

OstrelAdapter::~OstrelAdapter() {
  try {
    // Only an adapter that got as far as installing the logger removes it; the logger is
    // shared, so this removes it for every adapter of the process.
    if (installedLogger_) setCurrentLogger(nullptr);
    shutdownBridge();
    unregisterAdapter(env_, this);
  } catch (...) {
    logEscaped("OstrelAdapter::~OstrelAdapter");
  }
}

// Every script method runs inside this: a Napi::Error or a library failure becomes the
// call's exception; in an environment that is ending, where nothing can be thrown into
// script any more, it is dropped or logged. Nothing escapes into the host.
template <Napi::Value (OstrelAdapter::*Method)(const Napi::CallbackInfo&)>
Napi::Value OstrelAdapter::entry(const Napi::CallbackInfo& info) {
  try {
    return (this->*Method)(info);
  } catch (const Napi::Error& error) {
    try {
      napi_throw(info.Env(), error.Value());
    } catch (...) {
      // The environment is ending: there is nobody left to throw to.
    }
  } catch (const std::exception& e) {
    // A failure inside the library reaches script as an Error with its text; in an
    // ending environment the throw does not take and the failure is only logged.
    if (napi_throw_error(info.Env(), nullptr, e.what()) != napi_ok) {
      logEscaped("OstrelAdapter script method");
    }
  } catch (...) {
    logEscaped("OstrelAdapter script method");
  }
  return Napi::Value();
}

// ---------------------------------------------------------------------------------------
// Start-up and shutdown

void OstrelAdapter::initSelf() {
  if (ostrel_ != nullptr) return;
  try {
    const api5::OstrelMessageErrorCode configured =
        api5::IOstrelMessageDispatcher::SetConfig(configArg1_.c_str(), configArg2_.c_str());
    if (configured != api5::OSTREL_OK) {
      CORVELLE_LOG(LOG_INFO, kLogCategory, "OstrelAdapter::initSelf",
                   "WARNING Not on the bus: the messaging library refused the configuration"
                   " (SetConfig answered "
                       << configured << "); this adapter sends and receives nothing");
      return;
    }
    api5::OstrelMessageErrorCode code = kTryAgainLater;
    for (int attempt = 0; attempt < kGetInstanceAttempts; ++attempt) {
      api5::IOstrelMessageDispatcher* dispatcher = nullptr;
      code = api5::IOstrelMessageDispatcher::GetInstance(&dispatcher);
      if (code == api5::OSTREL_OK) {
        ostrel_ = dispatcher;
        ++dispatcherHolders;
        break;
      }
      if (code != kTryAgainLater) break;
      platformPause(kGetInstancePauseMs);
    }
    if (ostrel_ == nullptr) {
      if (code == kTryAgainLater) {
        CORVELLE_LOG(LOG_INFO, kLogCategory, "OstrelAdapter::initSelf",
                     "WARNING Not on the bus: the messaging library was still not available"
                     " after "
                         << kGetInstanceAttempts
                         << " attempts; this adapter sends and receives nothing");
      } else {
        CORVELLE_LOG(LOG_INFO, kLogCategory, "OstrelAdapter::initSelf",
                     "WARNING Not on the bus: the messaging library gave no dispatcher"
                     " (GetInstance answered "
                         << code << "); this adapter sends and receives nothing");
      }
      return;
    }

    for (int pauses = 0; !ostrel_->IsReady() && pauses < kWaitPauses; ++pauses) {
      platformPause(kWaitPauseMs);
    }
    ostrel_->AddEndPointsRefreshCallback(&OstrelAdapter::endPointsRefreshedCallback, this);
    if (!ostrel_->IsReady()) return;

    ostrel_->RefreshEndPoints();
    for (int pauses = 0; ostrel_->IsRefreshPending() && pauses < kWaitPauses; ++pauses) {
      platformPause(kWaitPauseMs);
    }
  } catch (...) {
    CORVELLE_LOG(LOG_INFO, kLogCategory, "OstrelAdapter::initSelf",
                 "WARNING Likely fatal exception in construction ");
  }
}

void OstrelAdapter::shutdownBridge() {
  if (ostrel_ == nullptr) return;
  // Removal first: once these return, the library's thread no longer reaches this
  // adapter, even while another holder keeps the dispatcher alive. Each removal is tried
  // on its own: one that fails must not leave the others undone.
  try {
    ostrel_->RemoveListener(this);
  } catch (...) {
  }
  try {
    ostrel_->RemoveErrorListener(this);
  } catch (...) {
  }
  try {
    ostrel_->RemoveEndPointsRefreshCallback(&OstrelAdapter::endPointsRefreshedCallback, this);
  } catch (...) {
  }
  ostrel_ = nullptr;
  try {
    api5::IOstrelMessageDispatcher::ReleaseInstance();
  } catch (...) {
  }
  --dispatcherHolders;
}

// Runs on the script thread when an environment ends (process exit, end of a worker),
// before its finalisers: nothing of the library may reach the dying environment.
//
// Only what belongs to this environment is touched: its adapters and its handles. The
// adapters and callbacks of other environments go on as before.
void OstrelAdapter::envCleanup(void* arg) {
  try {
    napi_env env = static_cast<napi_env>(arg);
    std::vector<OstrelAdapter*> adapters;
    {
      std::lock_guard<std::mutex> lock(registryMutex);
      hookedEnvironments().erase(env);
      auto range = adapterRegistry().equal_range(env);
      for (auto it = range.first; it != range.second; ++it) adapters.push_back(it->second);
    }
    for (OstrelAdapter* adapter : adapters) adapter->shutdownBridge();
    ServicePortListener::instance().endEnvironment(env);
  } catch (...) {
    logEscaped("OstrelAdapter::envCleanup");
  }
}

// ---------------------------------------------------------------------------------------
// Script methods

Napi::Value OstrelAdapter::getAppsList(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const auto& apps = knownHostApps();
  std::vector<std::string> entries;
  for (const api5::EndPoint& endPoint : currentEndPoints()) {
    auto app = apps.find(endPointAppId(endPoint));
    if (app == apps.end()) continue;
    entries.push_back(app->second.shortCode + "," + endPointAppVersion(endPoint) + "," +
                      app->second.displayName);
  }
  Napi::Array result = Napi::Array::New(env, entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    result.Set(static_cast<uint32_t>(i), Napi::String::New(env, entries[i]));
  }
  return result;
}

Napi::Value OstrelAdapter::setServerDetails(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2) throw Napi::TypeError::New(env, "Wrong number of arguments");
  if (!info[0].IsBoolean()) {
    throw Napi::TypeError::New(env, "Expected isServerStarted to be a Boolean");
  }
  if (!info[1].IsString()) throw Napi::TypeError::New(env, "Expected payload to be a string");

  const bool started = info[0].As<Napi::Boolean>().Value();
  const std::string payload = textArgument(info, 1, "payload");
  // Details that cannot travel in one bus message would never reach anybody: refused
  // before anything is stored or sent, so the earlier details stay.
  const size_t limit = maxServerDetailsBytes();
  if (payload.size() > limit) {
    throw Napi::RangeError::New(
        env, "Expected payload to be at most " + std::to_string(limit) +
                 " bytes: a bus message carries at most " +
                 std::to_string(api5::OSTREL_MAX_CONTENT_BYTES) +
                 " bytes of type, application id, application version and payload");
  }
  {
    std::lock_guard<std::mutex> lock(detailsMutex_);
    serverDetails_ = payload;
  }
  if (ostrel_ != nullptr) {
    sendSuiteMessage(started ? kServerReadyType : kServerTerminatedType, payload, "", "");
    ostrel_->AddListener(this);
  }
  return env.Undefined();
}

Napi::Value OstrelAdapter::getServicePort(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1) throw Napi::TypeError::New(env, "Wrong number of arguments");
  if (!info[0].IsFunction()) throw Napi::TypeError::New(env, "Expected callback to be a function");

  if (!ServicePortListener::instance().set(env, info[0])) {
    throw Napi::Error::New(env, "Cannot set the service port callback");
  }
  if (ostrel_ != nullptr) {
    ostrel_->AddListener(this);
    sendSuiteMessage(kClientConnectedType, "", kServiceAppId, "");
  }
  return env.Undefined();
}

Napi::Value OstrelAdapter::disconnect(const Napi::CallbackInfo& info) {
  // From here on no callback of this environment is called; what is queued is dropped.
  ServicePortListener::instance().stop(env_);
  if (ostrel_ != nullptr) {
    ostrel_->RemoveListener(this);
    ostrel_->RemoveErrorListener(this);
  }
  return info.Env().Undefined();
}

// ---------------------------------------------------------------------------------------
// Outgoing messages

size_t OstrelAdapter::maxServerDetailsBytes() {
  // The details travel as the payload of each of these; the longest type counts.
  size_t typeBytes = 0;
  for (const char* type : {kServerReadyType, kServerInfoType, kServerTerminatedType}) {
    typeBytes = std::max(typeBytes, busTypePrefix().size() + std::strlen(type));
  }
  // The library counts the texts its instance was configured with; before there is one,
  // this adapter's own.
  size_t senderBytes = configArg1_.size() + configArg2_.size();
  if (ostrel_ != nullptr) {
    const api5::EndPoint self = ostrel_->GetSelf();
    senderBytes = endPointAppId(self).size() + endPointAppVersion(self).size();
  }
  const size_t fixed = typeBytes + senderBytes;
  return fixed < api5::OSTREL_MAX_CONTENT_BYTES ? api5::OSTREL_MAX_CONTENT_BYTES - fixed : 0;
}

std::string OstrelAdapter::serverDetails() {
  std::lock_guard<std::mutex> lock(detailsMutex_);
  return serverDetails_;
}

void OstrelAdapter::sendSuiteMessage(const std::string& messageType, const std::string& payload,
                                     const std::string& appId, const std::string& appVersion) {
  if (ostrel_ == nullptr) return;
  const std::string busType = busTypePrefix() + messageType;
  api5::SuiteMessage message(busType.c_str());
  const std::vector<api5::EndPoint> destinations = selectDestinations(appId, appVersion);
  message.SetSource(selfEndPoint());
  message.SetPayload(payload.c_str());
  if (!destinations.empty()) message.SetDestinations(destinations.data(), destinations.size());

  if (ostrel_->Send(message) != api5::OSTREL_OK) {
    cacheStale_ = true;
  } else if (cacheStale_.exchange(false)) {
    // One refresh per stale period, even when two threads succeed at once.
    requestEndPointsRefresh();
  }
}

// ---------------------------------------------------------------------------------------
// Incoming messages

void OstrelAdapter::Receive(const api5::OstrelMessage& message) {
  try {
    std::string type =
        readText(message, &api5::OstrelMessage::GetTypeSize, &api5::OstrelMessage::GetType);
    if ((type == kDestinationUnreachable || cacheStale_) && ostrel_ != nullptr) {
      requestEndPointsRefresh();
    }
    if (type == api5::ErrorMessage::TYPE) return;
    const char* prefix = api5::SuiteMessage::TYPE_PREFIX;
    if (type.compare(0, std::strlen(prefix), prefix) != 0) return;
    const auto* suite = dynamic_cast<const api5::SuiteMessage*>(&message);
    if (suite == nullptr) return;  // a library that mislabels a message: nothing to read

    std::string appId =
        readText(message, &api5::OstrelMessage::GetAppIdSize, &api5::OstrelMessage::GetAppId);
    std::string appVersion = readText(message, &api5::OstrelMessage::GetAppVersionSize,
                                      &api5::OstrelMessage::GetAppVersion);
    const api5::EndPoint source = suite->GetSource();
    std::string payload = readPayload(*suite);

    cacheStale_ = insertIfNotAlreadyCached(source);

    for (const char* handled : kHandledMessageTypes) {
      if (contains(type, handled)) {
        handleKnownMessage(std::move(type), std::move(appId), std::move(appVersion),
                           std::move(payload), endPointId(source));
        return;
      }
    }
  } catch (...) {
    CORVELLE_LOG(LOG_INFO, kLogCategory, "OstrelAdapter::Receive",
                 "EXCEPTION in OstrelAdapter::Receive");
  }
}

void OstrelAdapter::handleKnownMessage(std::string type, std::string appId, std::string appVersion,
                                       std::string payload, const std::string& sender) {
  const bool hostReady = contains(type, kHostReadyType);
  if (contains(type, kServerInfoType)) {
    ReceivedMessage received{std::move(type), std::move(appId), std::move(appVersion),
                             std::move(payload)};
    // Delivered, dropped by a full queue or refused by a closing handle: in each case it
    // is not answered.
    if (ServicePortListener::instance().queue(env_, received) !=
        ServicePortListener::QueueResult::kNoListener) {
      return;
    }
    // No callback to deliver to: answer the sender instead, unless the sender is in the
    // middle of an exchange of server information with us (see AnswerLimiter).
    if (!serverInfoAnswers_.shouldAnswer(sender, AnswerLimiter::Clock::now())) return;
    appId = std::move(received.appId);
    appVersion = std::move(received.appVersion);
  }
  // Each answer goes to every endpoint of the sender's application: a sender that keeps
  // repeating itself is answered only up to its budget, so that it cannot flood the bus
  // and the other endpoints of its application in our name.
  if (!answerRate_.allow(sender, SenderRateLimit::Clock::now())) {
    CORVELLE_LOG(LOG_INFO, kLogCategory, "OstrelAdapter::handleKnownMessage",
                 "WARNING Not answered: a sender sent more than "
                     << kAnswersPerSecond << " announcements and requests a second");
    return;
  }
  sendSuiteMessage(hostReady ? kServerReadyType : kServerInfoType, serverDetails(), appId,
                   appVersion);
}

// ---------------------------------------------------------------------------------------
// Endpoint cache

void OstrelAdapter::endPointsRefreshedCallback(void* context) {
  // Runs on the library's thread: nothing may escape into the library.
  try {
    static_cast<OstrelAdapter*>(context)->refreshEndPointsOstrelWillCallback();
  } catch (...) {
    CORVELLE_LOG(LOG_INFO, kLogCategory, "OstrelAdapter::refreshEndPointsOstrelWillCallback",
                 "EXCEPTION in OstrelAdapter::refreshEndPointsOstrelWillCallback");
  }
}

void OstrelAdapter::refreshEndPointsOstrelWillCallback() {
  CORVELLE_ASSERT(ostrel_);
  const api5::EndPoint self = ostrel_->GetSelf();
  const std::vector<api5::EndPoint> endPoints = currentEndPoints();
  // Build aside, swap in under the lock: the lock is held for the swap only, and the
  // old entries are destroyed after it is released.
  std::multimap<std::string, api5::EndPoint> rebuilt;
  for (const api5::EndPoint& endPoint : endPoints) {
    rebuilt.emplace_hint(rebuilt.end(), endPointAppId(endPoint), endPoint);
  }
  {
    CacheLock lock;
    selfEndPoint_ = self;
    endPointCache_.swap(rebuilt);
  }
}

bool OstrelAdapter::insertIfNotAlreadyCached(const api5::EndPoint& endPoint) {
  const std::string appId = endPointAppId(endPoint);
  const std::string id = endPointId(endPoint);
  CacheLock lock;
  auto range = endPointCache_.equal_range(appId);
  for (auto it = range.first; it != range.second; ++it) {
    if (endPointId(it->second) == id) return false;
  }
  if (endPointCache_.size() < kEndPointCacheLimit) {
    endPointCache_.emplace_hint(range.second, appId, endPoint);
  } else {
    CORVELLE_LOG(LOG_INFO, kLogCategory, "OstrelAdapter::insertIfNotAlreadyCached",
                 "WARNING Cache stale - dropped missing EndPoint due to large cache size");
  }
  return true;
}

std::vector<api5::EndPoint> OstrelAdapter::selectDestinations(const std::string& appId,
                                                              const std::string& appVersion) {
  const std::string& key = appId.empty() ? targetAppId_ : appId;
  std::vector<api5::EndPoint> result;
  CacheLock lock;
  auto range = endPointCache_.equal_range(key);
  if (!key.empty() && !appVersion.empty()) {
    for (auto it = range.first; it != range.second; ++it) {
      if (endPointAppVersion(it->second) == appVersion) result.push_back(it->second);
    }
  }
  if (result.empty()) {
    for (auto it = range.first; it != range.second; ++it) result.push_back(it->second);
  }
  return result;
}

void OstrelAdapter::requestEndPointsRefresh() {
  CORVELLE_ASSERT(ostrel_);
  cacheStale_ = false;
  ostrel_->RefreshEndPoints();
}

std::vector<api5::EndPoint> OstrelAdapter::currentEndPoints() {
  std::vector<api5::EndPoint> result;
  if (ostrel_ == nullptr) return result;
  api5::EndPoint* array = nullptr;
  size_t count = 0;
  ostrel_->GetEndPoints(&array, &count);
  if (count == 0) return result;
  // Hand the array back even when copying fails.
  struct Giveback {
    api5::IOstrelMessageDispatcher* dispatcher;
    api5::EndPoint* array;
    ~Giveback() { dispatcher->FreeEndPoints(array); }
  } giveback{ostrel_, array};
  result.assign(array, array + count);
  return result;
}

api5::EndPoint OstrelAdapter::selfEndPoint() {
  CacheLock lock;
  return selfEndPoint_;
}

}  // namespace corvelle
