// The D-Bus messaging library against a bus that goes away and comes back, connections
// that own names they should not, and buses that refuse the participant.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

#include "busfixture.h"
#include "rawconnection.h"

namespace ostrel_dbus_test {
namespace {

constexpr int kWaitMs = 10000;
using Clock = std::chrono::steady_clock;

class Resilience : public BusFixture {};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Records the size of the list each time the refresh callbacks run.
struct ListSizes {
  explicit ListSizes(api5::IOstrelMessageDispatcher* d) : dispatcher(d) {}
  api5::IOstrelMessageDispatcher* dispatcher;
  std::mutex mutex;
  std::vector<size_t> sizes;

  static void called(void* self) {
    auto* watcher = static_cast<ListSizes*>(self);
    api5::EndPoint* array = nullptr;
    size_t size = 0;
    watcher->dispatcher->GetEndPoints(&array, &size);
    if (size > 0) watcher->dispatcher->FreeEndPoints(array);
    std::lock_guard<std::mutex> lock(watcher->mutex);
    watcher->sizes.push_back(size);
  }
  std::vector<size_t> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return sizes;
  }
};

TEST_F(Resilience, ComesBackWhenTheBusIsRestartedAtTheSameAddress) {
  for (const int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal == SIGKILL ? "SIGKILL" : "SIGTERM");
    std::string oldHost;
    peer({"--app", "HOST", "--app-version", "1", "--listen"}, &oldHost);
    auto* dispatcher = join("SVC", "1");
    ASSERT_NE(dispatcher, nullptr);
    RecordingListener recorder;
    // Answers every host announcement to its sender, as a service does.
    recorder.setHook([&](const Received& r) {
      if (r.type == prefixed("zem.devtools.host.ready")) {
        send(dispatcher, "zem.devtools.server.ready", "details",
             {{r.source, r.appId, r.appVersion}});
      }
    });
    dispatcher->AddListener(&recorder);
    dispatcher->AddErrorListener(&recorder);
    ListSizes sizes(dispatcher);
    dispatcher->AddEndPointsRefreshCallback(&ListSizes::called, &sizes);
    ASSERT_TRUE(waitFor([&] { return isListed(dispatcher, oldHost); }, kWaitMs));

    bus_.kill(signal);
    // Told once, emptied, and not ready; sending says so.
    ASSERT_TRUE(recorder.waitUntil(
        [](const std::vector<Received>& r) {
          return !r.empty() && r.front().type == api5::ErrorMessage::TYPE;
        },
        kWaitMs));
    EXPECT_EQ(recorder.messages().front().appId, "SVC");
    EXPECT_TRUE(
        waitFor([&] { return !sizes.take().empty() && sizes.take().back() == 0; }, kWaitMs));
    EXPECT_TRUE(listed(dispatcher).empty());
    EXPECT_FALSE(dispatcher->IsReady());
    EXPECT_EQ(send(dispatcher, "x", ""), api5::OSTREL_ERROR_NOT_CONNECTED);
    // A new user in the process gets the same instance while the bus is away.
    api5::IOstrelMessageDispatcher* again = nullptr;
    ASSERT_EQ(api5::IOstrelMessageDispatcher::GetInstance(&again), api5::OSTREL_OK);
    EXPECT_EQ(again, dispatcher);
    api5::IOstrelMessageDispatcher::ReleaseInstance();

    // Waiting for the bus costs next to no processor time.
    const double cpuBefore = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.2);

    ASSERT_TRUE(bus_.restart());
    const auto busUp = Clock::now();
    PeerProcess newHost;
    ASSERT_TRUE(newHost.start(bus_.address(), {"--app", "HOST", "--app-version", "2", "--send",
                                               "zem.devtools.host.ready", "--to", "SVC", "--wait",
                                               "5", "--listen", "--count", "1", "--timeout", "5"}));
    JsonFields answer;
    ASSERT_TRUE(newHost.readFields(&answer, kWaitMs));
    EXPECT_LT(msSince(busUp), 2000) << "answered only after the bus was up this long";
    EXPECT_EQ(answer["type"], prefixed("zem.devtools.server.ready"));
    EXPECT_EQ(answer["payload"], "details");
    EXPECT_EQ(newHost.wait(kWaitMs), 0);

    EXPECT_TRUE(dispatcher->IsReady());
    // Only the new bus's participants: nobody is left now that the new host has gone.
    EXPECT_TRUE(waitFor([&] { return listed(dispatcher).empty(); }, kWaitMs));
    EXPECT_EQ(send(dispatcher, "after", ""), api5::OSTREL_OK);

    dispatcher->RemoveEndPointsRefreshCallback(&ListSizes::called, &sizes);
    dispatcher->RemoveErrorListener(&recorder);
    dispatcher->RemoveListener(&recorder);
    release();
    peers_.clear();
  }
}

TEST_F(Resilience, AParticipantThatJoinsTheNewBusIsListedAfterAReconnect) {
  auto* dispatcher = join("SVC", "1");
  ASSERT_NE(dispatcher, nullptr);
  bus_.kill(SIGKILL);
  ASSERT_TRUE(waitFor([&] { return !dispatcher->IsReady(); }, kWaitMs));
  ASSERT_TRUE(bus_.restart());
  std::string host;
  peer({"--app", "HOST", "--app-version", "3", "--listen"}, &host);
  ASSERT_TRUE(
      waitFor([&] { return dispatcher->IsReady() && isListed(dispatcher, host); }, kWaitMs));
  EXPECT_EQ(listed(dispatcher), (std::vector<Listed>{{host, "HOST", "3"}}));
  // The participant's own name is on the new bus: another process lists it (in either
  // order: which of the two reached the new bus first varies).
  const std::vector<Listed> seen = listedByAnotherProcess();
  const Listed self{RecordingListener::idOf(dispatcher->GetSelf()), "SVC", "1"};
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_NE(std::find(seen.begin(), seen.end(), self), seen.end());
}

// --- Names that do not belong to their owner -----------------------------------------

TEST_F(Resilience, NamesOwnedByAnotherConnectionThanTheyNameAreNeverBelieved) {
  for (const bool beforeListing : {true, false}) {
    SCOPED_TRACE(beforeListing ? "claimed before the service lists" : "claimed after");
    std::string host;
    PeerProcess& hostPeer = peer({"--app", "HOST", "--app-version", "1", "--listen"}, &host);
    RawConnection foreign;
    ASSERT_TRUE(foreign.open(bus_.address()));
    // It answers property calls with texts of its own, as a real participant would.
    ASSERT_TRUE(foreign.exportProperties("QOVR", "6.2"));
    const std::vector<std::string> phantoms = {
        RawConnection::participantName(host, "QOVR", "6.2"),  // the real host's name, as a service
        RawConnection::participantName(":1.900", "HOST", "9"),  // nobody
        RawConnection::participantName(":1.901", "QOVR", "6.2"),
        "net.corvelle.Ostrel5.P.L.u" + RawConnection::escape(host),  // short form, real host
        "net.corvelle.Ostrel5.P.L.u" + RawConnection::escape(":1.902"),
        "net.corvelle.Ostrel5.P.LABC.u" + RawConnection::escape(":1.903"),
    };
    // Claims the names, then answers calls to them on a thread of its own.
    std::atomic<bool> done{false};
    std::thread answering;
    auto claim = [&] {
      for (const auto& name : phantoms) ASSERT_EQ(foreign.own(name), 1) << name;
      answering = std::thread([&] {
        while (!done) {
          foreign.takeMessages();
          sd_bus_wait(foreign.bus(), 10000);
        }
      });
    };
    if (beforeListing) claim();
    auto* dispatcher = join("SVC", "1");
    ASSERT_NE(dispatcher, nullptr);
    if (!beforeListing) {
      claim();
      dispatcher->RefreshEndPoints();
      ASSERT_TRUE(waitFor([&] { return !dispatcher->IsRefreshPending(); }, kWaitMs));
    }
    const std::vector<Listed> onlyTheHost = {{host, "HOST", "1"}};
    EXPECT_EQ(listed(dispatcher), onlyTheHost);

    // The host leaves; none of the names that encode it keeps it alive.
    hostPeer.kill(SIGKILL);
    EXPECT_TRUE(waitFor([&] { return listed(dispatcher).empty(); }, kWaitMs));
    dispatcher->RefreshEndPoints();
    ASSERT_TRUE(waitFor([&] { return !dispatcher->IsRefreshPending(); }, kWaitMs));
    EXPECT_TRUE(listed(dispatcher).empty());
    done = true;
    answering.join();
    release();
    peers_.clear();
  }
}

// Redirects this process's standard error into a file while it lives.
class CapturedStderr {
 public:
  explicit CapturedStderr(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = dup(2);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~CapturedStderr() { restore(); }
  std::string restore() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path_.c_str());
    return text.str();
  }

 private:
  std::string path_;
  int saved_ = -1;
};

TEST_F(Resilience, AParticipantWhoseNameIsTakenJoinsUnderAFallbackNameAndSaysSo) {
  RawConnection squatter;
  ASSERT_TRUE(squatter.open(bus_.address()));
  // Unique names are handed out in order: the next connection gets the next number.
  const std::string& own = squatter.uniqueName();
  const std::string next = own.substr(0, own.rfind('.') + 1) +
                           std::to_string(std::stol(own.substr(own.rfind('.') + 1)) + 1);
  ASSERT_EQ(squatter.own(RawConnection::participantName(next, "TEST", "1")), 1);
  ASSERT_EQ(squatter.own("net.corvelle.Ostrel5.P.L.u" + RawConnection::escape(next)), 1);

  CapturedStderr captured(PrivateBus::freshDirectoryName() + ".stderr");
  auto* dispatcher = join("TEST", "1");
  const std::string log = captured.restore();
  ASSERT_NE(dispatcher, nullptr);
  EXPECT_EQ(RecordingListener::idOf(dispatcher->GetSelf()), next);
  EXPECT_NE(log.find("is owned by another connection"), std::string::npos) << log;
  EXPECT_NE(log.find(RawConnection::participantName(next, "TEST", "1")), std::string::npos) << log;

  // Others see it once, with its texts, and not the squatter's names.
  EXPECT_EQ(listedByAnotherProcess(), (std::vector<Listed>{{next, "TEST", "1"}}));
}

// --- Buses that refuse the participant -----------------------------------------------

std::string configWith(const std::string& from, const std::string& to) {
  std::ifstream in(PrivateBus::configPath());
  std::stringstream text;
  text << in.rdbuf();
  std::string config = text.str();
  const size_t at = config.find(from);
  if (at == std::string::npos) return std::string();
  config.replace(at, from.size(), to);
  const std::string path = PrivateBus::freshDirectoryName() + ".conf";
  std::ofstream(path) << config;
  return path;
}

TEST(DispatcherRefused, FinalRefusalsAreAnsweredAtOnce) {
  struct Case {
    const char* label;
    std::string config;   // a bus with this configuration, or none
    std::string address;  // when there is no bus
    api5::OstrelMessageErrorCode expected;
  };
  const std::string allowOwn = "<allow own=\"*\"/>";
  const std::vector<Case> cases = {
      {"authentication refused", configWith("<auth>EXTERNAL</auth>", "<auth>ANONYMOUS</auth>"), "",
       api5::OSTREL_ERROR_FAILED},
      {"this user refused, as on another user's bus",
       configWith(allowOwn, allowOwn + "</policy><policy context=\"mandatory\"><deny user=\"*\"/>"),
       "", api5::OSTREL_ERROR_FAILED},
      {"participant name denied", configWith(allowOwn, "<deny own=\"*\"/>"), "",
       api5::OSTREL_ERROR_FAILED},
      {"no address form", "", "nonsense", api5::OSTREL_ERROR_INVALID_ARGUMENT},
      {"unknown transport", "", "carrier:pigeon=1", api5::OSTREL_ERROR_INVALID_ARGUMENT},
      {"unix without a path", "", "unix:", api5::OSTREL_ERROR_INVALID_ARGUMENT},
      {"empty path", "", "unix:path=", api5::OSTREL_ERROR_INVALID_ARGUMENT},
      {"path and abstract", "", "unix:path=/a,abstract=b", api5::OSTREL_ERROR_INVALID_ARGUMENT},
  };
  ASSERT_EQ(api5::IOstrelMessageDispatcher::SetConfig("REFUSED", "1"), api5::OSTREL_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PrivateBus bus;
    std::string address = c.address;
    if (!c.address.empty() || c.config.empty()) {
      ASSERT_FALSE(c.address.empty()) << "the configuration could not be made";
    } else {
      ASSERT_TRUE(bus.startWithConfig(c.config));
      address = bus.address();
    }
    setenv("OSTREL_BUS_ADDRESS", address.c_str(), 1);
    api5::IOstrelMessageDispatcher* dispatcher = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(api5::IOstrelMessageDispatcher::GetInstance(&dispatcher), c.expected);
    EXPECT_LT(msSince(start), 1000);
    if (!c.config.empty()) unlink(c.config.c_str());
  }
}

TEST(DispatcherRefused, ABusThatDoesNotAnswerHelloIsTryAgain) {
  PrivateBus bus;
  ASSERT_TRUE(bus.start());
  setenv("OSTREL_BUS_ADDRESS", bus.address().c_str(), 1);
  ASSERT_EQ(api5::IOstrelMessageDispatcher::SetConfig("WAIT", "1"), api5::OSTREL_OK);
  kill(bus.pid(), SIGSTOP);
  api5::IOstrelMessageDispatcher* dispatcher = nullptr;
  EXPECT_EQ(api5::IOstrelMessageDispatcher::GetInstance(&dispatcher), api5::OSTREL_ERROR_TRY_AGAIN);
  kill(bus.pid(), SIGCONT);
  ASSERT_EQ(api5::IOstrelMessageDispatcher::GetInstance(&dispatcher), api5::OSTREL_OK);
  EXPECT_TRUE(BusFixture::waitFor([&] { return dispatcher->IsReady(); }, kWaitMs));
  api5::IOstrelMessageDispatcher::ReleaseInstance();
}

}  // namespace
}  // namespace ostrel_dbus_test
