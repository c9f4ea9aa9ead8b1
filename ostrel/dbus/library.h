// The process-wide side of the messaging library: the configuration given by SetConfig
// and the one counted dispatcher instance.
//
// Threads: any thread. `mutex_` guards every field; it is held while an instance
// connects (bounded by twice the connection's setup timeout: a connection that the daemon
// closes at once is tried a second time) and completes its first listing (bounded by the
// connection's call timeout), but never while an instance shuts
// down, so that a listener that calls GetInstance during shutdown cannot deadlock.
// Ownership: the Library is created on first use and never destroyed, so that nothing is
// torn down under a library thread still running at process exit. It shares ownership
// of the live dispatcher with that dispatcher's thread.
#ifndef OSTREL_DBUS_LIBRARY_H
#define OSTREL_DBUS_LIBRARY_H

#include <memory>
#include <mutex>
#include <string>

#include "busdispatcher.h"

namespace ostrel_dbus {

class Library {
 public:
  static Library& get();

  api5::OstrelMessageErrorCode setConfig(const char* appId, const char* appVersion);
  api5::OstrelMessageErrorCode getInstance(api5::IOstrelMessageDispatcher** instance);
  void releaseInstance();

  // The bus by the library's rule (busrule.h): OSTREL_BUS_ADDRESS, else the session bus
  // when it answers, else the per-user private bus. Looked at again on every GetInstance
  // that opens a connection; may take up to a second to try the session bus.
  static std::string busAddress();

 private:
  Library() = default;

  std::mutex mutex_;
  bool configured_ = false;
  std::string appId_;
  std::string appVersion_;
  int references_ = 0;
  std::shared_ptr<BusDispatcher> instance_;
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_LIBRARY_H
