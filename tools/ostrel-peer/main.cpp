// ostrel-peer: a participant on the Ostrel message bus for people and scripts. It plays
// a host application, sends test messages, or watches what reaches one application.
//
// Threads: the main thread joins, lists, sends and waits; the library's thread runs the
// PeerSession listener; a signal thread turns SIGINT and SIGTERM into an orderly stop.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "busrule.h"
#include "jsonline.h"
#include "ostrel/OstrelMessage5.h"
#include "ostreltext.h"
#include "peeroptions.h"
#include "peersession.h"

namespace api5 = quorlen::ostrel::api5;
using ostrel_peer::PeerOptions;
using ostrel_peer::PeerSession;

namespace {

constexpr int kExitUsage = 1;
constexpr int kExitCountNotReached = 2;
constexpr int kExitNoBus = 3;
constexpr int kExitSendFailed = 4;

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

std::vector<api5::EndPoint> endPoints(api5::IOstrelMessageDispatcher* dispatcher) {
  api5::EndPoint* array = nullptr;
  size_t count = 0;
  dispatcher->GetEndPoints(&array, &count);
  std::vector<api5::EndPoint> list(array, array + count);
  if (count > 0) dispatcher->FreeEndPoints(array);
  return list;
}

std::vector<api5::EndPoint> endPointsOf(api5::IOstrelMessageDispatcher* dispatcher,
                                        const PeerOptions& options) {
  std::vector<api5::EndPoint> chosen;
  for (const auto& endPoint : endPoints(dispatcher)) {
    if (ostrel_text::appIdOf(endPoint) != options.toAppId) {
      continue;
    }
    if (!options.toVersion.empty() && ostrel_text::appVersionOf(endPoint) != options.toVersion) {
      continue;
    }
    chosen.push_back(endPoint);
  }
  return chosen;
}

api5::IOstrelMessageDispatcher* join(const PeerOptions& options) {
  if (api5::IOstrelMessageDispatcher::SetConfig(options.appId.c_str(),
                                                options.appVersion.c_str()) != api5::OSTREL_OK) {
    std::fprintf(stderr, "ostrel-peer: the library refused the application id or version\n");
    return nullptr;
  }
  const auto deadline = after(options.connectSeconds);
  api5::IOstrelMessageDispatcher* dispatcher = nullptr;
  for (;;) {
    const auto code = api5::IOstrelMessageDispatcher::GetInstance(&dispatcher);
    if (code == api5::OSTREL_OK) break;
    if (code != api5::OSTREL_ERROR_TRY_AGAIN || Clock::now() >= deadline) {
      std::fprintf(stderr, "ostrel-peer: cannot join the bus (code %d)\n", code);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  while (!dispatcher->IsReady() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!dispatcher->IsReady()) {
    std::fprintf(stderr, "ostrel-peer: joined, but the endpoint list did not arrive\n");
    api5::IOstrelMessageDispatcher::ReleaseInstance();
    return nullptr;
  }
  return dispatcher;
}

int sendAll(api5::IOstrelMessageDispatcher* dispatcher, const PeerOptions& options) {
  std::string type = options.sendType;
  if (!ostrel_text::isApplicationType(type)) {
    type = api5::SuiteMessage::TYPE_PREFIX + type;
  }
  std::vector<api5::EndPoint> destinations;
  if (!options.toAppId.empty()) {
    const auto deadline = after(options.waitSeconds);
    for (;;) {
      destinations = endPointsOf(dispatcher, options);
      if (!destinations.empty() || Clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (destinations.empty()) {
      std::fprintf(stderr, "ostrel-peer: no endpoint of application '%s'\n",
                   options.toAppId.c_str());
      return kExitSendFailed;
    }
  }
  api5::SuiteMessage message(type.c_str());
  message.SetSource(dispatcher->GetSelf());
  message.SetPayload(options.payload.c_str());
  if (!destinations.empty()) message.SetDestinations(destinations.data(), destinations.size());
  for (long i = 0; i < options.repeat; ++i) {
    api5::OstrelMessageErrorCode code;
    // A full write queue clears as the daemon reads; wait for it rather than drop.
    const auto deadline = after(10);
    while ((code = dispatcher->Send(message)) == api5::OSTREL_ERROR_TRY_AGAIN &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (code != api5::OSTREL_OK) {
      std::fprintf(stderr, "ostrel-peer: send refused (code %d)\n", code);
      return kExitSendFailed;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  for (const auto& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      std::fputs(ostrel_peer::PeerOptionsParser::usage().c_str(), stdout);
      return 0;
    }
  }
  if (arguments.size() == 1 && arguments[0] == "--which-bus") {
    const ostrel_dbus::BusChoice choice = ostrel_dbus::chooseBusForProcess();
    std::printf("%s\n", ostrel_peer::JsonLine()
                            .text("address", choice.address)
                            .text("source", choice.source)
                            .text("reason", choice.reason)
                            .str()
                            .c_str());
    return 0;
  }
  PeerOptions options;
  std::string error;
  if (!ostrel_peer::PeerOptionsParser::parse(arguments, &options, &error)) {
    std::fprintf(stderr, "ostrel-peer: %s\nTry 'ostrel-peer --help'.\n", error.c_str());
    return kExitUsage;
  }
  const bool receiving =
      options.listen || options.echo || options.count >= 0 || options.timeoutSeconds >= 0;

  // Signals are taken by one thread of ours; every other thread, the library's
  // included, inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  api5::IOstrelMessageDispatcher* dispatcher = join(options);
  if (dispatcher == nullptr) return kExitNoBus;

  PeerSession session(dispatcher, options.echo, options.quiet);
  std::thread signalThread([&session, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (signal != 0) session.stop();
  });
  if (receiving) dispatcher->AddListener(&session);
  if (options.printSelf) session.print(PeerSession::describe(dispatcher->GetSelf(), "self"));
  if (options.list) {
    for (const auto& endPoint : endPoints(dispatcher)) {
      session.print(PeerSession::describe(endPoint, "endpoint"));
    }
  }
  int status = 0;
  if (!options.sendType.empty()) status = sendAll(dispatcher, options);
  if (status == 0 && receiving) {
    const bool reached =
        session.waitFor(options.count, options.timeoutSeconds >= 0, after(options.timeoutSeconds));
    if (options.count >= 0 && !reached) status = kExitCountNotReached;
    if (session.busLost()) {
      std::fprintf(stderr, "ostrel-peer: the connection to the bus was lost\n");
      status = kExitNoBus;
    }
  }
  dispatcher->RemoveListener(&session);
  api5::IOstrelMessageDispatcher::ReleaseInstance();
  // Wake the signal thread so that it can be joined.
  pthread_kill(signalThread.native_handle(), SIGTERM);
  signalThread.join();
  return status;
}
