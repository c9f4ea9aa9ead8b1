// A listener and refresh callback that record what the library delivers, for tests to
// wait on and inspect.
//
// Threads: Receive and the refresh callback run on the library's thread; the waits and
// accessors on the test's thread. `mutex_` guards the records and counters. An optional
// hook runs inside Receive, without the lock, to let a test act on the library thread.
#ifndef OSTREL_DBUS_TESTS_RECORDINGLISTENER_H
#define OSTREL_DBUS_TESTS_RECORDINGLISTENER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/OstrelMessage5.h"

namespace ostrel_dbus_test {

namespace api5 = quorlen::ostrel::api5;

struct Received {
  std::string type;
  std::string appId;
  std::string appVersion;
  std::string source;  // empty for library notices
  std::string payload;
};

class RecordingListener final : public api5::IOstrelMessageListener {
 public:
  void Receive(const api5::OstrelMessage& message) override;
  static void onRefreshed(void* self);

  void setHook(std::function<void(const Received&)> hook);
  bool waitForMessages(size_t count, int timeoutMs);
  bool waitForRefreshes(long count, int timeoutMs);
  // Waits until `predicate` holds for the records; checked after each delivery.
  bool waitUntil(const std::function<bool(const std::vector<Received>&)>& predicate, int timeoutMs);
  std::vector<Received> messages();
  long refreshes();

  // The library's size-then-get protocol for the texts of one endpoint or message.
  static std::string idOf(const api5::EndPoint& endPoint);
  static std::string appIdOf(const api5::EndPoint& endPoint);
  static std::string appVersionOf(const api5::EndPoint& endPoint);
  static Received read(const api5::OstrelMessage& message);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> messages_;
  long refreshes_ = 0;
  std::function<void(const Received&)> hook_;
};

}  // namespace ostrel_dbus_test

#endif  // OSTREL_DBUS_TESTS_RECORDINGLISTENER_H
