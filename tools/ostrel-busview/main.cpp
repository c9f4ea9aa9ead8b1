// ostrel-busview: tells what is on the message bus as JSON lines, for the service and
// the corvelle command, which must not read the human-readable output of other tools.
//
//   ostrel-busview participants [--prefix <name prefix>]
//       one line per participant name, {"name":"...","pid":123}, then exits 0
//   ostrel-busview watch
//       {"watching":true} once it watches, then one line per application message:
//       {"sender":":1.4","destination":":1.2","type":"...","appId":"...","appVersion":"..."}
//       (no "destination" for a broadcast); ends with the bus, or with its parent
//
// The bus is OSTREL_BUS_ADDRESS, or --address <address>. Exit codes: 0 done, 1 usage,
// 3 the bus cannot be joined or was lost.
//
// Threads: one, the main thread.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "busview.h"
#include "jsonline.h"
#include "ostrel_dbus/wire.h"

namespace {

constexpr int kExitUsage = 1;
constexpr int kExitNoBus = 3;
constexpr uint64_t kCallTimeoutUsec = 2000000;

const char* const kUsage =
    "Usage: ostrel-busview [--address <address>] participants [--prefix <prefix>]\n"
    "       ostrel-busview [--address <address>] watch\n";

void printLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

int usage(const std::string& error) {
  std::fprintf(stderr, "ostrel-busview: %s\n%s", error.c_str(), kUsage);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  const char* fromEnv = std::getenv(ostrel_dbus::wire::kAddressVariable);
  std::string address = fromEnv != nullptr ? fromEnv : "";
  std::string command;
  std::string prefix = ostrel_dbus::wire::kParticipantPrefix;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--address" || argument == "--prefix") {
      if (i + 1 >= arguments.size()) return usage(argument + " needs a value");
      (argument == "--address" ? address : prefix) = arguments[++i];
    } else if (command.empty() && (argument == "participants" || argument == "watch")) {
      command = argument;
    } else {
      return usage("unexpected argument '" + argument + "'");
    }
  }
  if (command.empty()) return usage("which view: participants or watch");
  if (address.empty()) return usage("no bus: set OSTREL_BUS_ADDRESS or pass --address");

  if (command == "watch") {
    // A watcher outlives no one: it ends with the process that started it.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0;
  }

  std::string error;
  auto view = ostrel_busview::BusView::open(address, command == "watch", kCallTimeoutUsec, &error);
  if (!view) {
    std::fprintf(stderr, "ostrel-busview: %s\n", error.c_str());
    return kExitNoBus;
  }
  if (command == "participants") {
    std::vector<ostrel_busview::Participant> found;
    if (!view->participants(prefix, &found, &error)) {
      std::fprintf(stderr, "ostrel-busview: %s\n", error.c_str());
      return kExitNoBus;
    }
    for (const auto& participant : found) {
      ostrel_peer::JsonLine line;
      line.text("name", participant.name);
      if (participant.pid >= 0) line.number("pid", participant.pid);
      printLine(line.str());
    }
    return 0;
  }
  view->watch([] { printLine("{\"watching\":true}"); },
              [](const ostrel_busview::WatchedMessage& message) {
                ostrel_peer::JsonLine line;
                line.text("sender", message.sender);
                if (!message.destination.empty()) line.text("destination", message.destination);
                line.text("type", message.type).text("appId", message.appId);
                line.text("appVersion", message.appVersion);
                printLine(line.str());
              },
              &error);
  std::fprintf(stderr, "ostrel-busview: %s\n", error.c_str());
  return kExitNoBus;
}
