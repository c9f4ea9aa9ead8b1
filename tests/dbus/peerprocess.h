// One ostrel-peer process: another participant on the test's bus.
//
// Threads: used by one test thread at a time. Owns the child process and the read end of
// its standard output; the destructor kills a child that is still running and reaps it.
#ifndef OSTREL_DBUS_TESTS_PEERPROCESS_H
#define OSTREL_DBUS_TESTS_PEERPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "jsonfields.h"

namespace ostrel_dbus_test {

class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Runs ostrel-peer with `arguments` on the bus at `busAddress`.
  bool start(const std::string& busAddress, const std::vector<std::string>& arguments);
  // The next line of its output, without the line end; false at the end of the output
  // or when none is complete within `timeoutMs`.
  bool readLine(std::string* line, int timeoutMs);
  // The next line, read as JSON fields.
  bool readFields(JsonFields* fields, int timeoutMs);
  // Starts with --self and reads that first line: the peer's endpoint id.
  bool startJoined(const std::string& busAddress, const std::vector<std::string>& arguments,
                   std::string* id, int timeoutMs = 10000);
  void kill(int signal);
  // Waits for the process to end; its exit status, or -1 when killed or still running
  // after `timeoutMs`.
  int wait(int timeoutMs);

  static std::string peerPath();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool ended_ = false;
};

}  // namespace ostrel_dbus_test

#endif  // OSTREL_DBUS_TESTS_PEERPROCESS_H
