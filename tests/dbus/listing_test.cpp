// Listing rounds check only the names whose owner the library has not confirmed, and
// every name again when a confirmation may no longer hold. The checks are counted on the
// bus itself by dbus-monitor.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "busfixture.h"
#include "rawconnection.h"

namespace ostrel_dbus_test {
namespace {

constexpr int kWaitMs = 10000;

// dbus-monitor on the test's bus, watching the calls that check participant names:
// GetNameOwner to the daemon and Properties.GetAll to participants. Its output goes to
// a file in a directory of its own under the temporary directory.
//
// Threads: used by the test's main thread only. Owns the monitor process (ended by its
// pid in the destructor), the output directory and a connection of its own whose calls
// mark how far the monitor has written.
class CheckMonitor {
 public:
  ~CheckMonitor() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!path_.empty()) unlink(path_.c_str());
    if (!directory_.empty()) rmdir(directory_.c_str());
  }

  bool start(const std::string& address) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ostrel-monitor.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) return false;
    directory_ = pattern;
    path_ = directory_ + "/calls";
    if (!marker_.open(address)) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0) _exit(127);
      dup2(fd, 1);
      execlp("dbus-monitor", "dbus-monitor", "--address", address.c_str(), "--profile",
             "type='method_call',member='GetNameOwner'", "type='method_call',member='GetAll'",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    // The monitor writes nothing of what was routed before it started watching.
    for (int tries = 0; tries < 100; ++tries) {
      if (sync(100)) return true;
    }
    return false;
  }

  // The checks made by other connections than the monitor's own, once the monitor has
  // written out everything routed before this call.
  int checks() {
    EXPECT_TRUE(sync(kWaitMs));
    int count = 0;
    for (const auto& call : calls()) {
      if (call.first != marker_.uniqueName()) ++count;
    }
    return count;
  }

 private:
  // Sends a marker call and waits until the monitor has written it.
  bool sync(int timeoutMs) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    sd_bus_call_method(marker_.bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus", "GetNameOwner", &error, &reply, "s",
                       "org.freedesktop.DBus");
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    ++markersSent_;
    return BusFixture::waitFor(
        [&] {
          int markers = 0;
          for (const auto& call : calls()) markers += call.first == marker_.uniqueName() ? 1 : 0;
          return markers > markersSeen_ ? (markersSeen_ = markers, true) : false;
        },
        timeoutMs);
  }

  // Sender and member of every method call written so far.
  std::vector<std::pair<std::string, std::string>> calls() const {
    std::ifstream in(path_);
    std::vector<std::pair<std::string, std::string>> found;
    std::string line;
    while (std::getline(in, line)) {
      std::vector<std::string> fields;
      std::stringstream split(line);
      std::string field;
      while (std::getline(split, field, '\t')) fields.push_back(field);
      if (fields.size() == 8 && fields[0] == "mc") found.emplace_back(fields[3], fields[7]);
    }
    return found;
  }

  pid_t pid_ = -1;
  std::string directory_;
  std::string path_;
  RawConnection marker_;
  int markersSent_ = 0;
  int markersSeen_ = 0;
};

class Listing : public BusFixture {
 protected:
  // Refreshes and waits until the round has completed.
  static void refresh(api5::IOstrelMessageDispatcher* dispatcher) {
    dispatcher->RefreshEndPoints();
    ASSERT_TRUE(waitFor([&] { return !dispatcher->IsRefreshPending(); }, kWaitMs));
  }

  // Hosts whose names carry their texts (checked with GetNameOwner): they need not answer.
  void addHosts(int count) {
    for (int i = 0; i < count; ++i) {
      auto host = std::make_unique<RawConnection>();
      ASSERT_TRUE(host->open(bus_.address()));
      ASSERT_EQ(host->own(RawConnection::participantName(host->uniqueName(), "HOST",
                                                         std::to_string(hosts_.size()))),
                1);
      hosts_.push_back(std::move(host));
    }
  }

  std::vector<std::unique_ptr<RawConnection>> hosts_;
};

TEST_F(Listing, AListingChecksOnlyTheNamesWhoseOwnerIsNotConfirmed) {
  constexpr int kHosts = 30;
  addHosts(kHosts);
  // One participant whose name does not carry its texts: its name is checked by reading
  // its properties, which it answers on a thread of its own.
  RawConnection shortHost;
  ASSERT_TRUE(shortHost.open(bus_.address()));
  ASSERT_TRUE(shortHost.exportProperties("SHRT", "1"));
  ASSERT_EQ(
      shortHost.own("net.corvelle.Ostrel5.P.L.u" + RawConnection::escape(shortHost.uniqueName())),
      1);
  std::atomic<bool> done{false};
  std::thread answering([&] {
    while (!done) {
      shortHost.takeMessages();
      sd_bus_wait(shortHost.bus(), 10000);
    }
  });
  struct Join {
    std::atomic<bool>* done;
    std::thread* thread;
    ~Join() {
      *done = true;
      thread->join();
    }
  } joinAnswering{&done, &answering};
  auto* dispatcher = join("SVC", "1");
  ASSERT_NE(dispatcher, nullptr);
  CheckMonitor monitor;
  ASSERT_TRUE(monitor.start(bus_.address()));

  // Everybody was confirmed by the first listing: the next ones check nobody.
  ASSERT_TRUE(waitFor([&] { return listed(dispatcher).size() == kHosts + 1; }, kWaitMs));
  const int before = monitor.checks();
  for (int i = 0; i < 3; ++i) refresh(dispatcher);
  EXPECT_EQ(monitor.checks() - before, 0);
  EXPECT_EQ(listed(dispatcher).size(), static_cast<size_t>(kHosts + 1));

  // A join is confirmed by the daemon's signal; a phantom (a name encoding a connection
  // that is not its owner) is not, and is checked at every listing.
  addHosts(1);
  RawConnection phantom;
  ASSERT_TRUE(phantom.open(bus_.address()));
  ASSERT_EQ(phantom.own(RawConnection::participantName(":1.999", "QOVR", "6.2")), 1);
  ASSERT_TRUE(waitFor([&] { return listed(dispatcher).size() == kHosts + 2; }, kWaitMs));
  const int afterJoins = monitor.checks();
  refresh(dispatcher);
  EXPECT_EQ(monitor.checks() - afterJoins, 1);
  EXPECT_EQ(listed(dispatcher).size(), static_cast<size_t>(kHosts + 2));
}

TEST_F(Listing, AConfirmedNameTakenOverByAnotherConnectionIsNotBelievedAgain) {
  // The owner gives the name up while it stays on the bus, or leaves the bus; either way
  // a foreign connection then owns the name that encodes it.
  for (const bool ownerLeaves : {false, true}) {
    SCOPED_TRACE(ownerLeaves ? "the owner leaves the bus" : "the owner releases the name");
    hosts_.clear();
    addHosts(2);
    const std::string name =
        RawConnection::participantName(hosts_[0]->uniqueName(), "HOST", std::string("0"));
    const std::string kept = hosts_[1]->uniqueName();
    auto* dispatcher = join("SVC", "1");
    ASSERT_NE(dispatcher, nullptr);
    ASSERT_TRUE(waitFor([&] { return listed(dispatcher).size() == 2; }, kWaitMs));
    refresh(dispatcher);
    ASSERT_EQ(listed(dispatcher).size(), 2u);

    if (ownerLeaves) {
      hosts_[0].reset();
    } else {
      ASSERT_GE(hosts_[0]->release(name), 0);
    }
    ASSERT_TRUE(waitFor([&] { return listed(dispatcher).size() == 1; }, kWaitMs));
    RawConnection foreign;
    ASSERT_TRUE(foreign.open(bus_.address()));
    ASSERT_EQ(foreign.own(name), 1);
    for (int i = 0; i < 2; ++i) {
      refresh(dispatcher);
      ASSERT_EQ(listed(dispatcher).size(), 1u);
      EXPECT_EQ(listed(dispatcher)[0].id, kept);
    }
    release();
  }
}

TEST_F(Listing, ConfirmationsExpireAndEveryNameIsCheckedAgain) {
  constexpr int kHosts = 10;
  addHosts(kHosts);
  auto* dispatcher = join("SVC", "1");
  ASSERT_NE(dispatcher, nullptr);
  CheckMonitor monitor;
  ASSERT_TRUE(monitor.start(bus_.address()));
  ASSERT_TRUE(waitFor([&] { return listed(dispatcher).size() == kHosts; }, kWaitMs));
  // The confirmations of the first listing hold for five seconds: a listing made after
  // that checks every name, then the next one none.
  std::this_thread::sleep_for(std::chrono::milliseconds(5200));
  const int before = monitor.checks();
  refresh(dispatcher);
  EXPECT_EQ(monitor.checks() - before, kHosts);
  refresh(dispatcher);
  EXPECT_EQ(monitor.checks() - before, kHosts);
  EXPECT_EQ(listed(dispatcher).size(), static_cast<size_t>(kHosts));
}

TEST_F(Listing, ANameWhoseHolderNeverAnswersIsCheckedAgainOnlyAfterItsBackOff) {
  auto* dispatcher = join("SVC", "1");
  ASSERT_NE(dispatcher, nullptr);
  CheckMonitor monitor;
  ASSERT_TRUE(monitor.start(bus_.address()));
  const int before = monitor.checks();
  // A short-form name, checked by reading its holder's properties; the holder never reads.
  RawConnection silent;
  ASSERT_TRUE(silent.open(bus_.address()));
  ASSERT_EQ(silent.own("net.corvelle.Ostrel5.P.L.u" + RawConnection::escape(silent.uniqueName())),
            1);
  // Listings every 500 ms for 12 s. The first check times out after 2 s and the name backs
  // off for 5 s, so it is checked a second time about 7 s in and a third not before 19 s;
  // a check on every round once the last one had timed out would make about six.
  const auto started = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - started < std::chrono::seconds(12)) {
    dispatcher->RefreshEndPoints();
    EXPECT_TRUE(listed(dispatcher).empty()) << "an unconfirmed name was listed";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(monitor.checks() - before, 2);
}

}  // namespace
}  // namespace ostrel_dbus_test
