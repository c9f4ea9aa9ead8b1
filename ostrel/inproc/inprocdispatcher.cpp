// In-process messaging library: the dispatcher and its test controls.
//
// Threads: dispatcher operations and controls run on any caller thread. One library
// thread, started with the first instance and joined by the last ReleaseInstance, runs
// queued work: message deliveries to listeners and refresh completions to callbacks.
//
// Locks: `mutex_` guards every field of Library. `deliveryMutex_` is held by the library
// thread while it runs one piece of queued work; a removal from another thread takes it
// once so that it returns only after a delivery in progress has ended. Listeners and
// callbacks are called with `mutex_` released, so they may call back into the library.
//
// Ownership: the Library is created on first use and never destroyed, so that nothing
// tears it down under a thread that is still running at process exit.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "messageaccess.h"
#include "ostrel/OstrelMessage5.h"
#include "ostrel_inproc/control.h"

namespace api5 = quorlen::ostrel::api5;
using api5::EndPoint;
using api5::MessageAccess;

namespace ostrel_inproc {
namespace {

EndPointText toText(const EndPoint& endPoint) {
  return {MessageAccess::id(endPoint), MessageAccess::appId(endPoint),
          MessageAccess::appVersion(endPoint)};
}

EndPoint fromText(const EndPointText& text) {
  return MessageAccess::makeEndPoint(text.id, text.appId, text.appVersion);
}

std::string pointerText(const void* pointer) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", pointer);
  return buffer;
}

CallRecord makeCall(std::string op, std::vector<std::string> args) {
  CallRecord call;
  call.op = std::move(op);
  call.args = std::move(args);
  return call;
}

template <typename T>
T next(const std::vector<T>& sequence, size_t& index, T fallback) {
  return index < sequence.size() ? sequence[index++] : fallback;
}

class Library;

class Dispatcher final : public api5::IOstrelMessageDispatcher {
 public:
  explicit Dispatcher(Library& library) : library_(library) {}
  ~Dispatcher() override = default;

  api5::OstrelMessageErrorCode Send(const api5::SuiteMessage& message) override;
  void AddListener(api5::IOstrelMessageListener* listener) override;
  void RemoveListener(api5::IOstrelMessageListener* listener) override;
  void AddErrorListener(api5::IOstrelMessageListener* listener) override;
  void RemoveErrorListener(api5::IOstrelMessageListener* listener) override;
  void AddEndPointsRefreshCallback(api5::EndPointsRefreshCallback callback, void* context) override;
  void RemoveEndPointsRefreshCallback(api5::EndPointsRefreshCallback callback,
                                      void* context) override;
  void RefreshEndPoints() override;
  bool IsRefreshPending() override;
  EndPoint GetSelf() override;
  bool IsReady() override;
  api5::OstrelMessageErrorCode GetEndPoints(EndPoint** endPoints, size_t* count) override;
  void FreeEndPoints(EndPoint* endPoints) override;

 private:
  Library& library_;
};

class Library {
 public:
  static Library& get() {
    static Library* library = new Library;
    return *library;
  }

  // Records a call and throws when the script says this operation fails.
  void record(CallRecord call) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool fail = script_.throwIn == call.op;
    const std::string op = call.op;
    calls_.push_back(std::move(call));
    if (fail) throw std::runtime_error("scripted failure in " + op);
  }

  void reset(const Script& script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = script;
    getInstanceIndex_ = readyIndex_ = pendingIndex_ = sendIndex_ = 0;
    calls_.clear();
  }

  void clearCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }

  std::vector<CallRecord> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  template <typename F>
  auto withScript(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(script_);
  }

  api5::OstrelMessageErrorCode setConfig(const char* a, const char* b) {
    CallRecord call = makeCall("SetConfig", {a ? a : "", b ? b : ""});
    call.result = withScript([](Script& s) { return s.setConfigResult; });
    record(call);
    return call.result;
  }

  api5::OstrelMessageErrorCode getInstance(api5::IOstrelMessageDispatcher** instance) {
    int code;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      code = next(script_.getInstanceCodes, getInstanceIndex_, 0);
    }
    CallRecord call = makeCall("GetInstance", {});
    call.result = code;
    record(call);
    if (code != api5::OSTREL_OK) return code;
    std::lock_guard<std::mutex> lock(mutex_);
    if (instances_++ == 0) {
      stop_ = false;
      thread_ = std::thread([this] { run(); });
    }
    if (instance != nullptr) *instance = &dispatcher_;
    return code;
  }

  void releaseInstance() {
    record(makeCall("ReleaseInstance", {}));
    std::thread finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (instances_ == 0 || --instances_ > 0) return;
      // The instance ends: nothing registered with it is called again.
      listeners_.clear();
      errorListeners_.clear();
      refreshCallbacks_.clear();
      queue_.clear();
      stop_ = true;
      finished = std::move(thread_);
    }
    workCv_.notify_all();
    if (finished.joinable()) {
      if (finished.get_id() == std::this_thread::get_id()) {
        finished.detach();
      } else {
        finished.join();
      }
    }
  }

  bool enqueue(std::function<void()> work) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (instances_ == 0) return false;
      queue_.push_back(std::move(work));
    }
    workCv_.notify_all();
    return true;
  }

  bool waitIdle(unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idleCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return queue_.empty() && !busy_; });
  }

  // Delivery to the listeners registered when the work runs.
  void deliverNow(const api5::OstrelMessage& message, bool isError) {
    std::vector<api5::IOstrelMessageListener*> targets;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets = listeners_;
      if (isError) targets.insert(targets.end(), errorListeners_.begin(), errorListeners_.end());
    }
    for (auto* listener : targets) {
      if (stillRegistered(listener)) listener->Receive(message);
    }
  }

  void completeRefreshNow() {
    std::vector<std::pair<api5::EndPointsRefreshCallback, void*>> targets;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets = refreshCallbacks_;
    }
    for (auto& [callback, context] : targets) {
      if (stillRegistered(callback, context)) callback(context);
    }
  }

  void addTo(std::vector<api5::IOstrelMessageListener*>& list,
             api5::IOstrelMessageListener* listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto* l : list) {
      if (l == listener) return;
    }
    list.push_back(listener);
  }

  void removeFrom(std::vector<api5::IOstrelMessageListener*>& list,
                  api5::IOstrelMessageListener* listener) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == listener) {
          list.erase(it);
          break;
        }
      }
    }
    waitForDeliveryToEnd();
  }

  void addRefreshCallback(api5::EndPointsRefreshCallback callback, void* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    refreshCallbacks_.emplace_back(callback, context);
  }

  void removeRefreshCallback(api5::EndPointsRefreshCallback callback, void* context) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = refreshCallbacks_.begin(); it != refreshCallbacks_.end(); ++it) {
        if (it->first == callback && it->second == context) {
          refreshCallbacks_.erase(it);
          break;
        }
      }
    }
    waitForDeliveryToEnd();
  }

  size_t listenerCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return listeners_.size();
  }
  size_t refreshCallbackCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refreshCallbacks_.size();
  }
  int instanceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return instances_;
  }

  bool nextReady() {
    std::lock_guard<std::mutex> lock(mutex_);
    return next(script_.isReady, readyIndex_, true);
  }
  bool nextPending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return next(script_.isRefreshPending, pendingIndex_, false);
  }
  int nextSendCode() {
    std::lock_guard<std::mutex> lock(mutex_);
    return next(script_.sendCodes, sendIndex_, 0);
  }

  std::vector<api5::IOstrelMessageListener*> listeners_;
  std::vector<api5::IOstrelMessageListener*> errorListeners_;

 private:
  Library() : dispatcher_(*this) {}

  bool stillRegistered(api5::IOstrelMessageListener* listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto* l : listeners_) {
      if (l == listener) return true;
    }
    for (auto* l : errorListeners_) {
      if (l == listener) return true;
    }
    return false;
  }

  bool stillRegistered(api5::EndPointsRefreshCallback callback, void* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : refreshCallbacks_) {
      if (entry.first == callback && entry.second == context) return true;
    }
    return false;
  }

  void waitForDeliveryToEnd() {
    if (std::this_thread::get_id() == libraryThreadId()) return;
    std::lock_guard<std::mutex> wait(deliveryMutex_);
  }

  std::thread::id libraryThreadId() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threadId_;
  }

  void run() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threadId_ = std::this_thread::get_id();
    }
    for (;;) {
      std::function<void()> work;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        workCv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) break;
        work = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
      }
      {
        std::lock_guard<std::mutex> delivering(deliveryMutex_);
        try {
          work();
        } catch (...) {
          // A listener that throws must not end the library's thread.
        }
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
      }
      idleCv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    threadId_ = std::thread::id();
    idleCv_.notify_all();
  }

  std::mutex mutex_;
  std::mutex deliveryMutex_;
  std::condition_variable workCv_;
  std::condition_variable idleCv_;
  Script script_;
  size_t getInstanceIndex_ = 0;
  size_t readyIndex_ = 0;
  size_t pendingIndex_ = 0;
  size_t sendIndex_ = 0;
  std::vector<CallRecord> calls_;
  std::vector<std::pair<api5::EndPointsRefreshCallback, void*>> refreshCallbacks_;
  int instances_ = 0;
  std::deque<std::function<void()>> queue_;
  bool stop_ = false;
  bool busy_ = false;
  std::thread thread_;
  std::thread::id threadId_;
  Dispatcher dispatcher_;
};

api5::OstrelMessageErrorCode Dispatcher::Send(const api5::SuiteMessage& message) {
  CallRecord call = makeCall("Send", {});
  call.type = MessageAccess::type(message);
  call.payload = MessageAccess::payload(message);
  call.source = toText(MessageAccess::source(message));
  for (const auto& destination : MessageAccess::destinations(message)) {
    call.destinations.push_back(toText(destination));
  }
  call.result = library_.nextSendCode();
  library_.record(call);
  return call.result;
}

void Dispatcher::AddListener(api5::IOstrelMessageListener* listener) {
  library_.record(makeCall("AddListener", {pointerText(listener)}));
  library_.addTo(library_.listeners_, listener);
}

void Dispatcher::RemoveListener(api5::IOstrelMessageListener* listener) {
  library_.record(makeCall("RemoveListener", {pointerText(listener)}));
  library_.removeFrom(library_.listeners_, listener);
}

void Dispatcher::AddErrorListener(api5::IOstrelMessageListener* listener) {
  library_.record(makeCall("AddErrorListener", {pointerText(listener)}));
  library_.addTo(library_.errorListeners_, listener);
}

void Dispatcher::RemoveErrorListener(api5::IOstrelMessageListener* listener) {
  library_.record(makeCall("RemoveErrorListener", {pointerText(listener)}));
  library_.removeFrom(library_.errorListeners_, listener);
}

void Dispatcher::AddEndPointsRefreshCallback(api5::EndPointsRefreshCallback callback,
                                             void* context) {
  library_.record(makeCall("AddEndPointsRefreshCallback",
                           {pointerText(reinterpret_cast<void*>(callback)), pointerText(context)}));
  library_.addRefreshCallback(callback, context);
}

void Dispatcher::RemoveEndPointsRefreshCallback(api5::EndPointsRefreshCallback callback,
                                                void* context) {
  library_.record(makeCall("RemoveEndPointsRefreshCallback",
                           {pointerText(reinterpret_cast<void*>(callback)), pointerText(context)}));
  library_.removeRefreshCallback(callback, context);
}

void Dispatcher::RefreshEndPoints() {
  library_.record(makeCall("RefreshEndPoints", {}));
  if (library_.withScript([](Script& s) { return s.completeRefreshes; })) {
    Library& library = library_;
    library_.enqueue([&library] { library.completeRefreshNow(); });
  }
}

bool Dispatcher::IsRefreshPending() {
  CallRecord call = makeCall("IsRefreshPending", {});
  call.result = library_.nextPending() ? 1 : 0;
  library_.record(call);
  return call.result != 0;
}

EndPoint Dispatcher::GetSelf() {
  library_.record(makeCall("GetSelf", {}));
  return fromText(library_.withScript([](Script& s) { return s.self; }));
}

bool Dispatcher::IsReady() {
  CallRecord call = makeCall("IsReady", {});
  call.result = library_.nextReady() ? 1 : 0;
  library_.record(call);
  return call.result != 0;
}

api5::OstrelMessageErrorCode Dispatcher::GetEndPoints(EndPoint** endPoints, size_t* count) {
  const auto list = library_.withScript([](Script& s) { return s.endPoints; });
  CallRecord call = makeCall("GetEndPoints", {std::to_string(list.size())});
  library_.record(call);
  *endPoints = nullptr;
  *count = list.size();
  if (!list.empty()) {
    *endPoints = new EndPoint[list.size()];
    for (size_t i = 0; i < list.size(); ++i) (*endPoints)[i] = fromText(list[i]);
  }
  return api5::OSTREL_OK;
}

void Dispatcher::FreeEndPoints(EndPoint* endPoints) {
  library_.record(makeCall("FreeEndPoints", {}));
  delete[] endPoints;
}

}  // namespace

void reset(const Script& script) {
  Library::get().reset(script);
}
void setEndPoints(const std::vector<EndPointText>& endPoints) {
  Library::get().withScript([&](Script& s) { s.endPoints = endPoints; });
}
void setSelf(const EndPointText& self) {
  Library::get().withScript([&](Script& s) { s.self = self; });
}
void setSendCodes(const std::vector<int>& codes) {
  Library::get().withScript([&](Script& s) { s.sendCodes = codes; });
}
std::vector<CallRecord> calls() {
  return Library::get().calls();
}
void clearCalls() {
  Library::get().clearCalls();
}
void recordPause(unsigned milliseconds) {
  Library::get().record(makeCall("Pause", {std::to_string(milliseconds)}));
}

bool deliver(const IncomingMessage& incoming) {
  Library& library = Library::get();
  return library.enqueue([&library, incoming] {
    const std::string& type = incoming.type;
    if (type.compare(0, std::strlen(api5::SuiteMessage::TYPE_PREFIX),
                     api5::SuiteMessage::TYPE_PREFIX) == 0) {
      api5::SuiteMessage message(type.c_str());
      MessageAccess::setSender(message, incoming.appId, incoming.appVersion);
      message.SetSource(fromText(incoming.source));
      MessageAccess::setPayloadBytes(message, incoming.payload);
      library.deliverNow(message, false);
    } else if (type == api5::ErrorMessage::TYPE) {
      api5::ErrorMessage message;
      MessageAccess::setSender(message, incoming.appId, incoming.appVersion);
      library.deliverNow(message, true);
    } else {
      api5::OstrelMessage message(type.c_str());
      MessageAccess::setSender(message, incoming.appId, incoming.appVersion);
      library.deliverNow(message, false);
    }
  });
}

bool completeRefresh() {
  Library& library = Library::get();
  return library.enqueue([&library] { library.completeRefreshNow(); });
}

bool waitIdle(unsigned timeoutMilliseconds) {
  return Library::get().waitIdle(timeoutMilliseconds);
}
size_t listenerCount() {
  return Library::get().listenerCount();
}
size_t refreshCallbackCount() {
  return Library::get().refreshCallbackCount();
}
int instanceCount() {
  return Library::get().instanceCount();
}

}  // namespace ostrel_inproc

namespace quorlen {
namespace ostrel {
namespace api5 {

OstrelMessageErrorCode IOstrelMessageDispatcher::SetConfig(const char* appId,
                                                           const char* appVersion) {
  return ostrel_inproc::Library::get().setConfig(appId, appVersion);
}

OstrelMessageErrorCode IOstrelMessageDispatcher::GetInstance(IOstrelMessageDispatcher** instance) {
  return ostrel_inproc::Library::get().getInstance(instance);
}

void IOstrelMessageDispatcher::ReleaseInstance() {
  ostrel_inproc::Library::get().releaseInstance();
}

}  // namespace api5
}  // namespace ostrel
}  // namespace quorlen
