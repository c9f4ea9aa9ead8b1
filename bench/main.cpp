// ostrel-bench: round trip and one-way rate between two native participants on the
// bus, each in its own process. It starts a private bus unless OSTREL_BUS_ADDRESS names
// one, and runs its peers as child processes of itself (--role echo, --role blast).
//
// The module's half (through the addon and a script callback) is run by a script that
// reads this program's --json output; see bench/README.md.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "benchparticipant.h"
#include "chainedroundtrip.h"
#include "libraryroles.h"
#include "samples.h"

extern char** environ;

namespace {

using ostrel_bench::BenchParticipant;
using ostrel_bench::monotonicNs;
using ostrel_bench::Samples;
using std::chrono::milliseconds;
namespace api5 = quorlen::ostrel::api5;

constexpr const char* kBenchApp = "BENCH";
constexpr const char* kEchoApp = "BENCH-ECHO";
constexpr const char* kBlastApp = "BENCH-BLAST";
constexpr const char* kRoundTripType = "ostrel.SuiteMessage.bench.roundtrip";
constexpr const char* kOneWayType = "ostrel.SuiteMessage.bench.oneway";
constexpr const char* kDoneType = "ostrel.SuiteMessage.bench.done";
constexpr milliseconds kJoinTimeout(10000);
constexpr milliseconds kRunTimeout(60000);

struct Arguments {
  std::string role;
  std::string app;
  std::string to;
  std::string type = kOneWayType;
  std::string json;
  long count = 5000;
  long roundTrips = 2000;
  long runs = 5;
  bool ack = false;
  bool oneWay = true;
  double linger = 2;
  std::string progress;
  long warmup = 2000;
  long samples = 21;
  std::vector<long> marks{200, 800};
};

bool parse(int argc, char** argv, Arguments* a) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (option == "--role")
      a->role = value;
    else if (option == "--app")
      a->app = value;
    else if (option == "--to")
      a->to = value;
    else if (option == "--type")
      a->type = value;
    else if (option == "--json")
      a->json = value;
    else if (option == "--count" || option == "--messages")
      a->count = std::atol(value.c_str());
    else if (option == "--round-trips")
      a->roundTrips = std::atol(value.c_str());
    else if (option == "--runs")
      a->runs = std::atol(value.c_str());
    else if (option == "--ack")
      a->ack = value == "yes";
    else if (option == "--linger")
      a->linger = std::atof(value.c_str());
    else if (option == "--one-way")
      a->oneWay = value == "yes";
    else if (option == "--progress")
      a->progress = value;
    else if (option == "--warmup")
      a->warmup = std::atol(value.c_str());
    else if (option == "--samples")
      a->samples = std::atol(value.c_str());
    else if (option == "--marks") {
      a->marks.clear();
      for (size_t at = 0; at < value.size();) {
        const size_t comma = std::min(value.find(',', at), value.size());
        a->marks.push_back(std::atol(value.substr(at, comma - at).c_str()));
        at = comma + 1;
      }
    } else
      return false;
  }
  return a->count > 0 && a->roundTrips > 0 && a->runs > 0 && a->samples > 0 && !a->marks.empty();
}

void usage() {
  std::fputs(
      "Usage: ostrel-bench [--round-trips N] [--messages N] [--runs R] [--one-way no]\n"
      "                    [--json PATH]\n"
      "       ostrel-bench --role echo [--app APPID]\n"
      "       ostrel-bench --role blast --to APPID [--count N] [--type TYPE] [--app APPID]\n"
      "                    [--ack yes] [--linger SECONDS]\n"
      "       ostrel-bench --role receive --progress FILE [--warmup W] [--count M] [--runs R]\n"
      "       ostrel-bench --role refresh [--samples K]\n"
      "       ostrel-bench --role joins [--marks 200,800]\n"
      "\n"
      "Without --role: measures the round trip (send, the echo peer answers, the answer\n"
      "arrives), chained (the listener sends the next message) and with the main thread\n"
      "waiting for each answer, and the one-way delivery between two native participants,\n"
      "and prints medians and 99th percentiles; --json also writes them to PATH.\n"
      "--role echo answers every message back to its sender until SIGTERM.\n"
      "--role blast sends N messages of TYPE to every endpoint of APPID as fast as the\n"
      "library takes them; each payload is the send time, CLOCK_MONOTONIC nanoseconds in\n"
      "decimal. It then waits for one bench.done message (--ack yes) or for --linger\n"
      "seconds, and leaves.\n"
      "--role receive, refresh and joins measure the library on its own and print one\n"
      "line of JSON; see bench/README.md.\n",
      stderr);
}

void waitForStopSignal() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  int signal = 0;
  sigwait(&signals, &signal);
}

int runEcho(const Arguments& a) {
  auto* dispatcher = BenchParticipant::join(a.app.empty() ? kEchoApp : a.app, kJoinTimeout);
  if (dispatcher == nullptr) return 3;
  BenchParticipant echo(dispatcher, BenchParticipant::Mode::kEcho);
  dispatcher->AddListener(&echo);
  waitForStopSignal();
  dispatcher->RemoveListener(&echo);
  api5::IOstrelMessageDispatcher::ReleaseInstance();
  return 0;
}

int runBlast(const Arguments& a) {
  auto* dispatcher = BenchParticipant::join(a.app.empty() ? kBlastApp : a.app, kJoinTimeout);
  if (dispatcher == nullptr) return 3;
  BenchParticipant acks(dispatcher, BenchParticipant::Mode::kRecord);
  dispatcher->AddListener(&acks);
  const auto destinations = BenchParticipant::endPointsOf(dispatcher, a.to, kJoinTimeout);
  int status = destinations.empty() ? 4 : 0;
  for (long i = 0; status == 0 && i < a.count; ++i) {
    if (BenchParticipant::send(dispatcher, a.type, std::to_string(monotonicNs()), destinations) !=
        api5::OSTREL_OK) {
      status = 4;
    }
  }
  if (status == 0 && a.ack) {
    if (!acks.waitForCount(1, kRunTimeout)) status = 2;
  } else if (status == 0) {
    std::this_thread::sleep_for(milliseconds(static_cast<long>(a.linger * 1000)));
  }
  dispatcher->RemoveListener(&acks);
  api5::IOstrelMessageDispatcher::ReleaseInstance();
  return status;
}

pid_t spawnSelf(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"/proc/self/exe"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (auto& text : argv) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, pointers.data(), environ) != 0) {
    return -1;
  }
  return pid;
}

// The private bus of one benchmark run, stopped by its pid.
struct BusOfOurOwn {
  pid_t pid = -1;
  ~BusOfOurOwn() {
    if (pid > 0) kill(pid, SIGTERM);
  }
  bool start() {
    FILE* pipe = popen("'" OSTREL_START_BUS_SCRIPT "'", "r");
    if (pipe == nullptr) return false;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      std::string text(line);
      const auto value = [&](const char* name) {
        std::string v = text.substr(std::strlen(name) + 1);
        v = v.substr(0, v.find(';'));
        if (!v.empty() && v.front() == '\'') v = v.substr(1, v.size() - 2);
        return v;
      };
      if (text.rfind("OSTREL_BUS_ADDRESS=", 0) == 0) {
        setenv("OSTREL_BUS_ADDRESS", value("OSTREL_BUS_ADDRESS").c_str(), 1);
      }
      if (text.rfind("OSTREL_BUS_PID=", 0) == 0) pid = std::atoi(value("OSTREL_BUS_PID").c_str());
    }
    return pclose(pipe) == 0 && pid > 0;
  }
};

std::string figures(const Samples& samples) {
  char text[160];
  std::snprintf(text, sizeof text, "{\"median\":%.1f,\"p99\":%.1f,\"samples\":%zu}",
                samples.median(), samples.percentile(99), samples.size());
  return text;
}

int runBenchmark(const Arguments& a) {
  BusOfOurOwn bus;
  const char* address = std::getenv("OSTREL_BUS_ADDRESS");
  if ((address == nullptr || address[0] == '\0') && !bus.start()) {
    std::fprintf(stderr, "ostrel-bench: cannot start a private bus\n");
    return 3;
  }
  const pid_t echoPid = spawnSelf({"--role", "echo"});
  auto* dispatcher = BenchParticipant::join(kBenchApp, kJoinTimeout);
  if (dispatcher == nullptr || echoPid < 0) {
    std::fprintf(stderr, "ostrel-bench: cannot join the bus\n");
    return 3;
  }
  BenchParticipant recorder(dispatcher, BenchParticipant::Mode::kRecord);
  dispatcher->AddListener(&recorder);
  const auto echo = BenchParticipant::endPointsOf(dispatcher, kEchoApp, kJoinTimeout);
  if (echo.empty()) {
    std::fprintf(stderr, "ostrel-bench: the echo peer did not join\n");
    return 3;
  }

  // The echo peer is listed as soon as it has joined, but it hears messages only once
  // its listener is registered: knock until it answers.
  bool answered = false;
  for (int attempt = 0; attempt < 100 && !answered; ++attempt) {
    BenchParticipant::send(dispatcher, kRoundTripType, "knock", echo);
    answered = recorder.waitForCount(1, milliseconds(100));
  }
  if (!answered) {
    std::fprintf(stderr, "ostrel-bench: the echo peer does not answer\n");
    return 3;
  }
  std::this_thread::sleep_for(milliseconds(100));

  // (a) Round trip to the echo peer, one message in flight at a time, measured twice.
  // Chained: the listener sends the next message from inside Receive, on the library's
  // thread, as the raw baseline answers on its one thread. Caller waits: this thread sends
  // and waits until the listener has seen the answer, a thread wake-up per round trip.
  const long warmUpRoundTrips = std::min(200L, a.roundTrips);
  dispatcher->RemoveListener(&recorder);
  ostrel_bench::ChainedRoundTrip chain(dispatcher, kRoundTripType, echo);
  dispatcher->AddListener(&chain);
  std::string error;
  const bool chained = chain.run(warmUpRoundTrips, a.runs * a.roundTrips, kRunTimeout, &error);
  dispatcher->RemoveListener(&chain);
  if (!chained) {
    std::fprintf(stderr, "ostrel-bench: chained round trip: %s\n", error.c_str());
    return 2;
  }
  const Samples chainedUs = chain.samples();
  dispatcher->AddListener(&recorder);

  // Of each caller-waits round trip, also the part from the listener's arrival stamp to
  // this thread running again: the wake-up that the chained form does not have.
  Samples callerWaitsUs;
  Samples callerWakeUpUs;
  for (long run = 0; run <= a.runs; ++run) {
    recorder.clear();
    const bool warmUp = run == 0;
    const long n = warmUp ? warmUpRoundTrips : a.roundTrips;
    std::vector<int64_t> awake(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) {
      const int64_t start = monotonicNs();
      const auto code = BenchParticipant::send(dispatcher, kRoundTripType, "x", echo);
      if (code != api5::OSTREL_OK) {
        std::fprintf(stderr, "ostrel-bench: send refused (code %d)\n", code);
        return 2;
      }
      if (!recorder.waitForCount(static_cast<size_t>(i + 1), kRunTimeout)) {
        std::fprintf(stderr, "ostrel-bench: an answer did not come back\n");
        return 2;
      }
      awake[static_cast<size_t>(i)] = monotonicNs();
      if (!warmUp)
        callerWaitsUs.add(static_cast<double>(awake[static_cast<size_t>(i)] - start) / 1000.0);
    }
    const auto arrivals = recorder.arrivals();
    for (size_t i = 0; !warmUp && i < awake.size() && i < arrivals.size(); ++i) {
      callerWakeUpUs.add(static_cast<double>(awake[i] - arrivals[i].first) / 1000.0);
    }
  }

  // (b) One-way: a peer sends as fast as it can; each arrival is timed against the send
  // time in its payload, and the rate is taken between the first and the last arrival.
  Samples oneWayUs;
  Samples ratePerSec;
  for (long run = 0; a.oneWay && run < a.runs; ++run) {
    recorder.clear();
    const pid_t blastPid = spawnSelf(
        {"--role", "blast", "--to", kBenchApp, "--count", std::to_string(a.count), "--ack", "yes"});
    if (blastPid < 0 || !recorder.waitForCount(static_cast<size_t>(a.count), kRunTimeout)) {
      std::fprintf(stderr, "ostrel-bench: one-way run %ld did not complete\n", run);
      return 2;
    }
    const auto arrivals = recorder.arrivals();
    for (const auto& [arrived, payload] : arrivals) {
      oneWayUs.add(static_cast<double>(arrived - std::atoll(payload.c_str())) / 1000.0);
    }
    const double seconds =
        static_cast<double>(arrivals.back().first - arrivals.front().first) / 1e9;
    if (seconds > 0) ratePerSec.add(static_cast<double>(arrivals.size() - 1) / seconds);
    const auto blast = BenchParticipant::endPointsOf(dispatcher, kBlastApp, kJoinTimeout);
    BenchParticipant::send(dispatcher, kDoneType, "", blast);
    waitpid(blastPid, nullptr, 0);
  }

  dispatcher->RemoveListener(&recorder);
  api5::IOstrelMessageDispatcher::ReleaseInstance();
  kill(echoPid, SIGTERM);
  waitpid(echoPid, nullptr, 0);

  std::printf("Native participants, %ld runs\n", a.runs);
  std::printf("  round trip, chained (the listener sends the next):\n");
  std::printf("                      median %9.1f us   p99 %9.1f us   (%zu round trips)\n",
              chainedUs.median(), chainedUs.percentile(99), chainedUs.size());
  std::printf("  round trip, the caller's thread waits for the listener:\n");
  std::printf("                      median %9.1f us   p99 %9.1f us   (%zu round trips)\n",
              callerWaitsUs.median(), callerWaitsUs.percentile(99), callerWaitsUs.size());
  std::printf("    of which the listener's arrival to the caller running again:\n");
  std::printf("                      median %9.1f us   p99 %9.1f us\n", callerWakeUpUs.median(),
              callerWakeUpUs.percentile(99));
  if (a.oneWay) {
    std::printf("  one-way latency, the sender sending as fast as it can:\n");
    std::printf("                      median %9.1f us   p99 %9.1f us   (%zu messages)\n",
                oneWayUs.median(), oneWayUs.percentile(99), oneWayUs.size());
    std::printf("  one-way rate        median %9.0f msg/s   slowest run %9.0f msg/s\n",
                ratePerSec.median(), ratePerSec.percentile(0));
  }
  if (!a.json.empty()) {
    std::ofstream out(a.json);
    out << "{\"native\":{\"roundTripChainedUs\":" << figures(chainedUs)
        << ",\"roundTripCallerWaitsUs\":" << figures(callerWaitsUs)
        << ",\"callerWakeUpUs\":" << figures(callerWakeUpUs)
        << ",\"oneWayUs\":" << figures(oneWayUs) << ",\"oneWayRatePerSec\":"
        << "{\"median\":" << ratePerSec.median() << ",\"slowest\":" << ratePerSec.percentile(0)
        << ",\"runs\":" << ratePerSec.size() << "}}}\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    usage();
    return 0;
  }
  if (!parse(argc, argv, &arguments)) {
    usage();
    return 1;
  }
  // Stop signals are taken with sigwait by the echo role; every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  if (arguments.role == "echo") {
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return runEcho(arguments);
  }
  if (arguments.role == "receive" && !arguments.progress.empty()) {
    return ostrel_bench::runLibraryReceive(
        {arguments.progress, arguments.warmup, arguments.count, arguments.runs});
  }
  if (arguments.role == "refresh") return ostrel_bench::runLibraryRefresh(arguments.samples);
  if (arguments.role == "joins") return ostrel_bench::runLibraryJoins(arguments.marks);
  if (arguments.role == "blast") {
    if (arguments.to.empty()) {
      usage();
      return 1;
    }
    return runBlast(arguments);
  }
  if (!arguments.role.empty()) {
    usage();
    return 1;
  }
  return runBenchmark(arguments);
}
