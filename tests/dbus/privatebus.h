// A private message bus for one test, started with the project's bus/start-private-bus
// and stopped by its daemon's pid. It can also be killed and started again at the same
// address, or started with another configuration.
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
  // Starts a daemon with the configuration file `config` in a fresh directory.
  bool startWithConfig(const std::string& config);
  void stop();
  // Ends the daemon with `signal` and waits until it is gone; keeps the directory (and,
  // after SIGKILL, the daemon's socket file) for restart().
  void kill(int signal);
  // Starts a new daemon of the project's configuration at the same address.
  bool restart();

  const std::string& address() const { return address_; }
  pid_t pid() const { return pid_; }

  // A fresh directory name under the temporary directory, not yet created.
  static std::string freshDirectoryName();
  // The project's bus configuration file.
  static std::string configPath();

 private:
  bool launch(const std::string& config, const std::string& socketPath);

  std::string address_;  // as the daemon printed it, with its guid
  std::string socketPath_;
  std::string directory_;
  pid_t pid_ = -1;
};

}  // namespace ostrel_dbus_test

#endif  // OSTREL_DBUS_TESTS_PRIVATEBUS_H
