// ostrel-hostile-peer: the peers that a long-running service must survive, for the
// fault tests of the script suites. Prints "ready" once it has done its set-up, then
// keeps at it until killed (or, for `random`, until its messages are sent: "done").
//
//   hold <connections> <names>   connections that each own <names> participant names in
//                                the short or fallback form, encoding their own unique
//                                name, and then never read or answer anything
//   churn                        a nameless connection that keeps making listers list:
//                                host announcements under a new application id each
//   flood <appId> <appVersion>   host announcements as fast as the bus takes them,
//                                reading and dropping whatever comes back
//   probe <appId> <appVersion>  a host that owns its name, reads only what is addressed
//                                to it, announces itself once and prints
//                                "answered <ms>" when the service's answer is in
//   random <count> <to>          <count> random messages on the protocol's interface to
//                                <to>: odd signatures, long texts, odd names
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rawconnection.h"

using ostrel_dbus_test::RawConnection;

namespace {

const char kPrefix[] = "net.corvelle.Ostrel5.P.";
const char kHostReady[] = "ostrel.SuiteMessage.zem.devtools.host.ready";

std::string address() {
  const char* value = std::getenv("OSTREL_BUS_ADDRESS");
  return value != nullptr ? value : "";
}

void drain(RawConnection& connection) {
  while (sd_bus_process(connection.bus(), nullptr) > 0) {
  }
}

int hold(int connections, int names) {
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int c = 0; c < connections; ++c) {
    auto connection = std::make_unique<RawConnection>();
    if (!connection->open(address())) return 1;
    const std::string unique = RawConnection::escape(connection->uniqueName());
    for (int n = 0; n < names; ++n) {
      char token[17];
      std::snprintf(token, sizeof token, "%016X", n);
      const std::string name =
          std::string(kPrefix) + (n == 0 ? "L" : std::string("L") + token) + ".u" + unique;
      if (connection->own(name) != 1) return 1;
    }
    held.push_back(std::move(connection));
  }
  std::printf("ready\n");
  std::fflush(stdout);
  // Never reads again: every call to these names goes unanswered.
  for (;;) pause();
}

int churn() {
  RawConnection connection;
  if (!connection.open(address())) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  for (long i = 0;; ++i) {
    connection.sendMessage("", kHostReady, "CHURN" + std::to_string(i), "1", "");
    drain(connection);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int flood(const std::string& appId, const std::string& appVersion) {
  RawConnection connection;
  if (!connection.open(address()) || !connection.subscribeMessages()) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    for (int i = 0; i < 64; ++i) connection.sendMessage("", kHostReady, appId, appVersion, "");
    sd_bus_flush(connection.bus());
    connection.takeMessages();
  }
}

int onAnswer(sd_bus_message* message, void* answered, sd_bus_error*) {
  const char* type = nullptr;
  if (sd_bus_message_read(message, "s", &type) >= 0 &&
      std::string(type) == "ostrel.SuiteMessage.zem.devtools.server.ready") {
    *static_cast<bool*>(answered) = true;
  }
  return 1;
}

int probe(const std::string& appId, const std::string& appVersion) {
  RawConnection connection;
  if (!connection.open(address())) return 1;
  bool answered = false;
  // Only unicasts to this connection: the broadcasts of others are not even routed here.
  const std::string match =
      "type='signal',interface='net.corvelle.Ostrel5',member='Message',destination='" +
      connection.uniqueName() + "'";
  if (sd_bus_add_match(connection.bus(), nullptr, match.c_str(), &onAnswer, &answered) < 0 ||
      connection.own(RawConnection::participantName(connection.uniqueName(), appId, appVersion)) !=
          1) {
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  const auto sent = std::chrono::steady_clock::now();
  connection.sendMessage("", kHostReady, appId, appVersion, "");
  while (!answered) {
    if (sd_bus_process(connection.bus(), nullptr) < 0) return 1;
    if (!answered) sd_bus_wait(connection.bus(), 100000);
  }
  const auto ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent);
  std::printf("answered %.1f\n", ms.count());
  std::fflush(stdout);
  return 0;
}

int random(long count, const std::string& to) {
  RawConnection connection;
  if (!connection.open(address())) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  std::mt19937 generator(19);
  const auto text = [&](size_t longest) {
    std::string out(std::uniform_int_distribution<size_t>(0, longest)(generator), ' ');
    for (char& c : out)
      c = static_cast<char>(std::uniform_int_distribution<int>(0x20, 0x7e)(generator));
    return out;
  };
  const char* const types[] = {kHostReady, "ostrel.SuiteMessage.zem.devtools.cli.client.connected",
                               "ostrel.SuiteMessage.zem.devtools.server.info", "other.type", ""};
  for (long i = 0; i < count; ++i) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_signal(connection.bus(), &raw, "/net/corvelle/Ostrel5",
                                  "net.corvelle.Ostrel5", "Message") < 0) {
      return 1;
    }
    if (i % 2 == 0) sd_bus_message_set_destination(raw, to.c_str());
    const std::string appId = text(i % 7 == 0 ? 4000 : 40);
    switch (i % 5) {
      case 0:
      case 1: {
        const std::string type = std::string(types[i % 5 == 0 ? 0 : (i / 5) % 5]) + text(20);
        const std::string payload = text(i % 11 == 0 ? 60000 : 100);
        sd_bus_message_append(raw, "sss", type.c_str(), appId.c_str(), text(20).c_str());
        sd_bus_message_append_array(raw, 'y', payload.data(), payload.size());
        break;
      }
      case 2:
        sd_bus_message_append(raw, "s", appId.c_str());
        break;
      case 3:
        sd_bus_message_append(raw, "ssi", kHostReady, appId.c_str(), 7);
        break;
      default:
        sd_bus_message_append(raw, "sssayu", kHostReady, appId.c_str(), "1", 0, 5u);
        break;
    }
    sd_bus_send(connection.bus(), raw, nullptr);
    sd_bus_message_unref(raw);
    if (i % 64 == 0) {
      sd_bus_flush(connection.bus());
      drain(connection);
    }
  }
  sd_bus_flush(connection.bus());
  std::printf("done\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "hold") return hold(std::stoi(args[1]), std::stoi(args[2]));
  if (args.size() == 1 && args[0] == "churn") return churn();
  if (args.size() == 3 && args[0] == "flood") return flood(args[1], args[2]);
  if (args.size() == 3 && args[0] == "probe") return probe(args[1], args[2]);
  if (args.size() == 3 && args[0] == "random") return random(std::stol(args[1]), args[2]);
  std::fprintf(stderr,
               "usage: ostrel-hostile-peer hold N M | churn | flood APP VERSION | probe APP "
               "VERSION | random N TO\n");
  return 2;
}
