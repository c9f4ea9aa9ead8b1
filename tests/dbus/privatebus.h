// A private message bus for one test, started with the project's bus/start-private-bus
// and stopped by its daemon's pid.
//
// Threads: used by the test's main thread only. Owns the daemon process and its socket
// directory; the destructor stops the daemon and removes the directory.
#ifndef OSTREL_DBUS_TESTS_PRIVATEBUS_H
#define OSTREL_DBUS_TESTS_PRIVATEBUS_H

#include <sys/types.h>

#include <string>

namespace ostrel_dbus_test {

class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Starts a daemon whose socket is `directory`/bus; `directory` must not exist. An
  // empty `directory` lets the script choose a fresh one.
  bool start(const std::string& directory = std::string());
  void stop();

  const std::string& address() const { return address_; }
  pid_t pid() const { return pid_; }

  // A fresh directory name under the temporary directory, not yet created.
  static std::string freshDirectoryName();

 private:
  std::string address_;
  std::string directory_;
  pid_t pid_ = -1;
};

}  // namespace ostrel_dbus_test

#endif  // OSTREL_DBUS_TESTS_PRIVATEBUS_H
