// The dispatcher: the operations of IOstrelMessageDispatcher over one bus connection at a
// time, and the library thread that runs that connection and, when it is lost, opens a
// new one to the same address.
//
// Its parts: BusConnection (opening, handlers, name, closing), ParticipantList (who is
// on the bus), SendTracker (the send path and which unicasts failed), EndPointDirectory
// (the list as GetEndPoints hands it out), Registrations (listeners and callbacks).
//
// Threads: one library thread, started by start() and ended by shutdown(), runs the
// connection: it reads and dispatches incoming messages, writes what the socket could
// not take at once, and then, with no lock held, calls listeners and refresh callbacks.
// The refresh callbacks are told once per round of processing, however many changes
// the round brought. Joins and departures in a burst are told at most so often that the
// callbacks take about 1/kChangeNoticeShare of the library thread's time (the pause
// after a callback is kChangeNoticeShare times what it took, at most
// kMaxChangeNoticeHoldUsec); a lone change, and a change followed by a message, are told
// at once.
// When the connection is lost it reports that, and tries to open a new one, at once and
// then with a growing pause of at most kMaxRetryPauseMs, until it succeeds or shutdown()
// is called. Every dispatcher operation may be called from any thread, the library
// thread (from inside a listener or callback) included.
//
// Locks, in the order in which they may be nested:
//   busMutex_   guards the current connection and every sd-bus object of it, the
//               participant list's and the send tracker's state, and the fields marked
//               "busMutex_" below. sd-bus objects are not thread-safe, so no sd-bus call
//               is made on the current connection without it. sd-bus runs the handlers
//               inside BusConnection::process(), that is with busMutex_ held: they only
//               record what happened in `events_`; listeners are called later, without
//               it. A new connection is opened and set up without it (nobody else can
//               reach it yet) and installed under it.
//   directory_  and registrations_ have locks of their own, taken innermost; neither is
//               held while calling out.
//   startMutex_ guards `settled_`: the library thread sets it once the first listing of
//               the first connection has completed (or that connection was lost), and
//               waitUntilSettled() waits for it. Taken alone.
// Ownership: the dispatcher owns the connection (closed by the library thread when it is
// lost or when the thread stops) and the wakeup descriptor. The library thread holds a
// shared reference to the dispatcher, so that a thread that has to be detached (the last
// release made from inside a callback) never outlives the object it uses.
#ifndef OSTREL_DBUS_BUSDISPATCHER_H
#define OSTREL_DBUS_BUSDISPATCHER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "busconnection.h"
#include "busevents.h"
#include "endpointdirectory.h"
#include "ostrel/OstrelMessage5.h"
#include "participantlist.h"
#include "registrations.h"
#include "sendtracker.h"
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
  // Waits until the first listing has completed, the connection was lost, or
  // `timeoutUsec` has passed; true in the first case. Called once, before the instance
  // is handed out, so that it is ready and its list complete when GetInstance returns.
  bool waitUntilSettled(uint64_t timeoutUsec);
  // For a new holder of a running instance: makes a listing round and waits until it has
  // completed (true), the connection was lost or `timeoutUsec` has passed. That round,
  // like the first, answers the first RefreshEndPoints made soon after it. Called on the
  // library thread it only asks for the round and returns false.
  bool listFor(uint64_t timeoutUsec);
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

  // The longest pause between two attempts to reach a lost bus again.
  static constexpr int kMaxRetryPauseMs = 1000;
  // Bounds of the pause between refresh callbacks told of joins and departures.
  static constexpr uint64_t kChangeNoticeShare = 32;
  static constexpr uint64_t kMaxChangeNoticeHoldUsec = 100000;

 private:
  // Opens and sets up a connection, without any lock (nobody else can reach it).
  api5::OstrelMessageErrorCode openConnection(std::unique_ptr<BusConnection>* opened);
  // Makes `connection` the current one and starts listing. With busMutex_ held.
  void installLocked(std::unique_ptr<BusConnection> connection);
  // Reports the loss and drops the connection. With busMutex_ held.
  void loseConnectionLocked();

  void run();
  // One round of reading and dispatching; returns true when more may be waiting.
  bool processSome();
  void waitForActivity();
  // While the connection is down: waits for the next attempt and makes it.
  void reconnect();
  void deliverEvents(BusEvents& events);
  // Calls the refresh callbacks and plans when joins and departures may be told next.
  void notifyRefreshed();
  // Tells the library's waiter in waitUntilSettled() that start-up is over.
  void settle();
  void flushAndClose();

  // Handlers run by sd-bus, with busMutex_ held.
  static int onApplicationMessage(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onProperty(sd_bus* bus, const char* path, const char* interface, const char* property,
                        sd_bus_message* reply, void* self, sd_bus_error* error);

  const Settings settings_;
  const std::string address_;  // settings_.address without its guid
  EndPointDirectory directory_;

  std::mutex busMutex_;
  std::unique_ptr<BusConnection> connection_;  // busMutex_; null while the bus is lost
  std::string uniqueName_;                     // busMutex_; of the current (or the last) connection
  BusEvents events_;                           // busMutex_
  std::string payloadBuffer_;                  // busMutex_; onApplicationMessage's
  ParticipantList participants_{&directory_, &events_};                 // busMutex_
  SendTracker sends_{settings_.appId, settings_.appVersion, &events_};  // busMutex_

  // Library thread only: when to try to reconnect next, and the pause after that.
  uint64_t nextAttemptUsec_ = 0;
  int retryPauseMs_ = 0;
  // Library thread only: the events of the round being delivered (kept for its capacity),
  // a change not told yet, and when changes may be told next.
  BusEvents delivering_;
  // Library thread only: what the next wait polls for, taken at the end of each round.
  pollfd waitFor_{-1, 0, 0};
  uint64_t busDeadlineUsec_ = UINT64_MAX;  // sd-bus's next timeout; UINT64_MAX: none
  uint64_t syncDueUsec_ = 0;               // the send tracker's planned sync; 0: none
  bool changeHeld_ = false;
  uint64_t nextChangeNoticeUsec_ = 0;
  bool settledTold_ = false;
  uint64_t roundsTold_ = 0;  // the last finished round told to listFor()

  std::mutex startMutex_;
  std::condition_variable settledChanged_;
  bool settled_ = false;         // startMutex_
  uint64_t finishedRounds_ = 0;  // startMutex_; the last listing round that completed

  std::atomic<bool> connected_{false};
  std::atomic<bool> stop_{false};

  Registrations registrations_;
  Wakeup wakeup_;
  std::thread thread_;             // started and taken only under the library's lifetime lock
  std::thread::id libraryThread_;  // set by start(), before the instance is handed out
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_BUSDISPATCHER_H
