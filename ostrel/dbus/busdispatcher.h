// The dispatcher over one D-Bus connection: sends application messages as signals,
// keeps the list of participants, and delivers what arrives to the registered listeners.
//
// Threads: one library thread, started by start() and ended by shutdown(), runs the
// connection: it reads and dispatches incoming messages, writes what the socket could
// not take at once, and then, with no lock held, calls listeners and refresh callbacks.
// Every dispatcher operation may be called from any thread, the library thread (from
// inside a listener or callback) included.
//
// Locks, in the order in which they may be nested:
//   busMutex_   guards the sd-bus connection and every sd-bus object of it, and all the
//               fields marked "busMutex_" below. sd-bus objects are not thread-safe, so
//               no sd-bus call is made without it. sd-bus runs this class's handlers
//               inside sd_bus_process(), that is with busMutex_ held: handlers only
//               record what happened in `events_`; listeners are called later, without it.
//   directory_  and registrations_ have locks of their own, taken innermost; neither is
//               held while calling out.
// Ownership: the dispatcher owns the connection (closed by the library thread when it
// stops) and the wakeup descriptor. The library thread holds a shared reference to the
// dispatcher, so that a thread that has to be detached (the last release made from
// inside a callback) never outlives the object it uses.
#ifndef OSTREL_DBUS_BUSDISPATCHER_H
#define OSTREL_DBUS_BUSDISPATCHER_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "endpointdirectory.h"
#include "ostrel/OstrelMessage5.h"
#include "registrations.h"
#include "sdbusptr.h"
#include "wakeup.h"

namespace ostrel_dbus {

struct Settings {
  std::string appId;
  std::string appVersion;
  std::string address;
};

class BusDispatcher final : public api5::IOstrelMessageDispatcher,
                            public std::enable_shared_from_this<BusDispatcher> {
 public:
  // Connects to the bus and registers this participant. OSTREL_ERROR_TRY_AGAIN when the
  // bus is not there (yet); other non-zero codes are final.
  static api5::OstrelMessageErrorCode open(const Settings& settings,
                                           std::shared_ptr<BusDispatcher>* dispatcher);
  ~BusDispatcher() override;

  // Starts the library thread; once per dispatcher.
  void start();
  // Unregisters everything and stops the library thread: joined, or detached when
  // called on the library thread itself. After it returns no listener or callback is
  // called any more.
  void shutdown();

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
  api5::EndPoint GetSelf() override;
  bool IsReady() override;
  api5::OstrelMessageErrorCode GetEndPoints(api5::EndPoint** endPoints, size_t* count) override;
  void FreeEndPoints(api5::EndPoint* endPoints) override;

  explicit BusDispatcher(const Settings& settings);

 private:
  // Something for the listeners or callbacks, recorded while busMutex_ is held and
  // acted on after it is released.
  struct Event {
    enum class Kind { kMessage, kError, kRefreshed } kind;
    std::shared_ptr<api5::OstrelMessage> message;
  };
  // What a unicast send went to, kept until the bus has certainly processed it.
  struct SentTo {
    std::string id;
    std::string appId;
    std::string appVersion;
  };

  api5::OstrelMessageErrorCode connect();
  void run();
  // One round of reading and dispatching; returns true when more may be waiting.
  bool processSome();
  void waitForActivity();
  void deliverEvents(std::vector<Event>& events);
  void flushAndClose();
  void onDisconnected();
  void wakeLibraryThreadIfNeeded();
  int sendOne(const std::string& destination, const std::string& type, const std::string& payload,
              uint64_t* cookie);

  // Handlers run by sd-bus, with busMutex_ held.
  static int onFilter(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onApplicationMessage(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onNameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onListNames(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onDetails(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onSync(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onProperty(sd_bus* bus, const char* path, const char* interface, const char* property,
                        sd_bus_message* reply, void* self, sd_bus_error* error);

  // With busMutex_ held.
  void startRefreshLocked();
  void finishRefreshLocked();
  void requestDetailsLocked(const std::string& uniqueName, bool forRefresh);
  void startSyncLocked();
  void participantJoinedLocked(const std::string& busName, const std::string& owner);
  void participantLeftLocked(const std::string& busName, const std::string& owner);
  void updateFlagsLocked();

  const Settings settings_;
  std::string uniqueName_;  // set by connect(), constant afterwards

  std::mutex busMutex_;
  BusPtr bus_;                                   // busMutex_
  std::vector<SlotPtr> slots_;                   // busMutex_
  std::vector<Event> events_;                    // busMutex_
  std::map<uint64_t, SentTo> unconfirmedSends_;  // busMutex_: cookie of each unicast send
  bool syncInFlight_ = false;                    // busMutex_
  size_t unwrittenBytes_ = 0;    // busMutex_: sent since the sd-bus write queue was last empty
  bool refreshRunning_ = false;  // busMutex_: a ListNames round is under way
  bool refreshListed_ = false;   // busMutex_: its ListNames answer is in
  bool refreshAgain_ = false;    // busMutex_: asked for while one runs
  std::set<uint64_t> refreshWaitsFor_;               // busMutex_: property calls of the round
  std::map<uint64_t, std::string> detailCalls_;      // busMutex_: property call -> unique name
  std::map<std::string, uint64_t> awaitingDetails_;  // busMutex_: unique name -> call

  std::atomic<bool> connected_{false};
  std::atomic<bool> listed_{false};
  std::atomic<bool> refreshPending_{false};
  std::atomic<bool> stop_{false};

  EndPointDirectory directory_;
  Registrations registrations_;
  Wakeup wakeup_;
  std::thread thread_;  // started and taken only under the library's lifetime lock
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_BUSDISPATCHER_H
