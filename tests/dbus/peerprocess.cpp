#include "peerprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace ostrel_dbus_test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string PeerProcess::peerPath() {
  return OSTREL_PEER_PATH;
}

bool PeerProcess::start(const std::string& busAddress, const std::vector<std::string>& arguments) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "OSTREL_BUS_ADDRESS=", 19) != 0) environment.push_back(*entry);
  }
  environment.push_back("OSTREL_BUS_ADDRESS=" + busAddress);
  std::vector<std::string> argv{peerPath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> argvPointers;
  for (auto& text : argv) argvPointers.push_back(text.data());
  argvPointers.push_back(nullptr);
  std::vector<char*> envPointers;
  for (auto& text : environment) envPointers.push_back(text.data());
  envPointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  const int r = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, argvPointers.data(),
                            envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (r != 0) {
    close(pipeFds[0]);
    pid_ = -1;
    return false;
  }
  out_ = pipeFds[0];
  return true;
}

bool PeerProcess::readLine(std::string* line, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      *line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return true;
    }
    if (ended_ || out_ < 0) return false;
    pollfd fd = {out_, POLLIN, 0};
    if (poll(&fd, 1, remainingMs(deadline)) <= 0) return false;
    char chunk[65536];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) {
      ended_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

bool PeerProcess::readFields(JsonFields* fields, int timeoutMs) {
  std::string line;
  return readLine(&line, timeoutMs) && parseJsonFields(line, fields);
}

bool PeerProcess::startJoined(const std::string& busAddress,
                              const std::vector<std::string>& arguments, std::string* id,
                              int timeoutMs) {
  std::vector<std::string> withSelf{"--self"};
  withSelf.insert(withSelf.end(), arguments.begin(), arguments.end());
  if (!start(busAddress, withSelf)) return false;
  JsonFields fields;
  if (!readFields(&fields, timeoutMs) || fields.count("self") == 0) return false;
  *id = fields["self"];
  return true;
}

void PeerProcess::kill(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

int PeerProcess::wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (r < 0 || Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

PeerProcess::~PeerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

}  // namespace ostrel_dbus_test
