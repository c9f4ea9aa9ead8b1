// The listeners, error listeners and refresh callbacks registered with the dispatcher,
// and their calling on the library thread.
//
// Threads: add and remove from any thread; deliver() and notifyRefreshed() only on the
// library thread.
// Locks: `mutex_` guards the three lists and `libraryThread_`. It is never held while a
// listener or callback runs, so they may call back into the dispatcher. `deliveryMutex_`
// is held by the library thread around each call into a listener or callback; a removal
// from another thread takes it once after taking the entry out of its list, so that it
// returns only when a call in progress has ended. A removal on the library thread
// itself (from inside a callback) does not wait: that call is the one in progress.
// `generation_` counts the changes of the lists (bumped under `mutex_`); the library
// thread calls from its own copy of the lists (`snapshot_`, library thread only), taken
// again only when the generation moved, and looks an entry up under `mutex_` only when a
// change came after its copy. A message to the same listeners thus costs no copy and no
// lock beyond `deliveryMutex_`.
// Ownership: the registered objects belong to the caller; only pointers are kept.
#ifndef OSTREL_DBUS_REGISTRATIONS_H
#define OSTREL_DBUS_REGISTRATIONS_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ostrel/OstrelMessage5.h"

namespace ostrel_dbus {

namespace api5 = quorlen::ostrel::api5;

class Registrations {
 public:
  void setLibraryThread(std::thread::id id);

  void addListener(api5::IOstrelMessageListener* listener);
  void removeListener(api5::IOstrelMessageListener* listener);
  void addErrorListener(api5::IOstrelMessageListener* listener);
  void removeErrorListener(api5::IOstrelMessageListener* listener);
  void addRefreshCallback(api5::EndPointsRefreshCallback callback, void* context);
  void removeRefreshCallback(api5::EndPointsRefreshCallback callback, void* context);
  // Forgets everything; from then on nothing registered before is called.
  void clear();

  // Calls each listener (and, for a library error report, each error listener) that is
  // still registered at the moment of its call.
  void deliver(const api5::OstrelMessage& message, bool isError);
  void notifyRefreshed();

 private:
  using Listeners = std::vector<api5::IOstrelMessageListener*>;
  using Callback = std::pair<api5::EndPointsRefreshCallback, void*>;

  void add(Listeners& list, api5::IOstrelMessageListener* listener);
  void remove(Listeners& list, api5::IOstrelMessageListener* listener);
  bool isListening(api5::IOstrelMessageListener* listener, bool isError);
  bool isRegistered(const Callback& callback);
  void waitForCallToEnd();
  // Takes the lists again when they changed since the last copy. Library thread only.
  void updateSnapshot();
  // True when the lists changed since the library thread's copy.
  bool changedSinceSnapshot() const { return generation_.load() != snapshot_.generation; }

  struct Snapshot {
    Listeners listeners;
    Listeners errorTargets;  // the listeners and the error listeners, each once
    std::vector<Callback> callbacks;
    uint64_t generation = UINT64_MAX;
  };

  std::mutex mutex_;
  Listeners listeners_;                  // mutex_
  Listeners errorListeners_;             // mutex_
  std::vector<Callback> callbacks_;      // mutex_
  std::thread::id libraryThread_;        // mutex_
  std::atomic<uint64_t> generation_{0};  // written under mutex_
  Snapshot snapshot_;                    // library thread only
  std::mutex deliveryMutex_;
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_REGISTRATIONS_H
