#include "privatebus.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

namespace ostrel_dbus_test {
namespace {

std::string valueOf(const std::string& output, const std::string& name) {
  const std::string key = name + "=";
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value = line.substr(key.size());
    value = value.substr(0, value.find(';'));
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return std::string();
}

// A zombie counts as gone: the daemon was detached from us, and whoever inherited it
// may reap it late.
bool isRunning(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (stat == nullptr) return false;
  char state = '?';
  const int fields = std::fscanf(stat, "%*d (%*[^)]) %c", &state);
  std::fclose(stat);
  return fields == 1 && state != 'Z' && state != 'X';
}

// Runs `command` with the shell; its standard output in `output`. False unless it
// succeeded.
bool runCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  return pclose(pipe) == 0;
}

}  // namespace

std::string PrivateBus::freshDirectoryName() {
  static int counter = 0;
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/ostrel-test-" +
         std::to_string(getpid()) + "-" + std::to_string(++counter);
}

std::string PrivateBus::configPath() {
  return OSTREL_BUS_CONFIG;
}

bool PrivateBus::launch(const std::string& config, const std::string& socketPath) {
  const std::string command =
      "ulimit -n \"$(ulimit -H -n)\" 2>/dev/null; dbus-daemon --config-file='" + config +
      "' --address='unix:path=" + socketPath +
      "' --fork --print-address=1 --print-pid=1 --nosyslog";
  std::string output;
  if (!runCommand(command, &output)) return false;
  std::istringstream lines(output);
  std::string address;
  std::string pid;
  std::getline(lines, address);
  std::getline(lines, pid);
  if (address.empty() || pid.empty()) return false;
  address_ = address;
  socketPath_ = socketPath;
  pid_ = static_cast<pid_t>(std::atoi(pid.c_str()));
  return pid_ > 0;
}

bool PrivateBus::startWithConfig(const std::string& config) {
  directory_ = freshDirectoryName();
  if (!std::filesystem::create_directory(directory_)) return false;
  std::filesystem::permissions(directory_, std::filesystem::perms::owner_all);
  return launch(config, directory_ + "/bus");
}

void PrivateBus::kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  for (int i = 0; i < 500 && isRunning(pid_); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

bool PrivateBus::restart() {
  if (socketPath_.empty() || pid_ > 0) return false;
  return launch(configPath(), socketPath_);
}

bool PrivateBus::start(const std::string& directory) {
  std::string command = std::string("'") + OSTREL_START_BUS_SCRIPT + "'";
  if (!directory.empty()) command += " '" + directory + "'";
  std::string output;
  if (!runCommand(command, &output)) return false;
  address_ = valueOf(output, "OSTREL_BUS_ADDRESS");
  directory_ = valueOf(output, "OSTREL_BUS_DIR");
  socketPath_ = directory_ + "/bus";
  const std::string pid = valueOf(output, "OSTREL_BUS_PID");
  pid_ = pid.empty() ? -1 : static_cast<pid_t>(std::atoi(pid.c_str()));
  return !address_.empty() && pid_ > 0;
}

void PrivateBus::stop() {
  // The daemon is not our child (it was detached): kill() waits until it is gone.
  kill(SIGTERM);
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    directory_.clear();
  }
}

PrivateBus::~PrivateBus() {
  stop();
}

}  // namespace ostrel_dbus_test
