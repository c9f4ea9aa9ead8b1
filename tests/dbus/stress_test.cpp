// Several thousand messages both ways while other participants join and leave; meant to
// run clean under the sanitizer build too.
#include <signal.h>

#include <atomic>
#include <thread>

#include "busfixture.h"

namespace ostrel_dbus_test {
namespace {

constexpr int kWaitMs = 60000;
constexpr int kMessagesEachWay = 3000;
constexpr int kSendingThreads = 2;
constexpr int kChurnRounds = 12;

class Stress : public BusFixture {};

TEST_F(Stress, ThousandsOfMessagesBothWaysWhilePeersJoinAndLeave) {
  std::string echoId;
  peer({"--app", "ECHO", "--app-version", "1", "--echo", "--quiet"}, &echoId);
  auto* dispatcher = join("STRESS", "1");
  ASSERT_NE(dispatcher, nullptr);

  // Every message from the blaster is answered from inside Receive, on the library thread.
  std::atomic<int> echoes{0};
  std::atomic<int> unreachable{0};
  std::atomic<int> answerFailures{0};
  std::atomic<int> others{0};
  RecordingListener counter;
  counter.setHook([&](const Received& r) {
    if (r.type == "DestinationUnreachable") {
      if (r.appId == "CHURN") ++unreachable;
      return;
    }
    if (r.appId == "ECHO") {
      ++echoes;
    } else if (r.appId == "BLAST") {
      if (send(dispatcher, "answer", r.payload, {{r.source, r.appId, r.appVersion}}) !=
          api5::OSTREL_OK) {
        ++answerFailures;
      }
    } else {
      ++others;
    }
  });
  dispatcher->AddListener(&counter);
  dispatcher->AddEndPointsRefreshCallback(&RecordingListener::onRefreshed, &counter);

  PeerProcess blaster;
  ASSERT_TRUE(blaster.start(
      bus_.address(), {"--app", "BLAST", "--send", "tick", "--payload", "t", "--to", "STRESS",
                       "--wait", "10", "--repeat", std::to_string(kMessagesEachWay), "--count",
                       std::to_string(kMessagesEachWay), "--quiet", "--timeout", "60"}));

  // Participants that join, receive, and leave, some killed and some stopped; each is
  // then still addressed once, as a sender with a stale list would.
  std::atomic<int> churned{0};
  std::thread churn([&] {
    for (int round = 0; round < kChurnRounds; ++round) {
      PeerProcess joiner;
      std::string id;
      if (!joiner.startJoined(bus_.address(), {"--app", "CHURN", "--listen"}, &id)) continue;
      dispatcher->RefreshEndPoints();
      joiner.kill(round % 2 == 0 ? SIGKILL : SIGTERM);
      joiner.wait(kWaitMs);
      if (!waitFor([&] { return !isListed(dispatcher, id); }, kWaitMs)) continue;
      if (send(dispatcher, "late", "", {{id, "CHURN", ""}}) == api5::OSTREL_OK) ++churned;
    }
  });

  std::vector<std::thread> senders;
  std::atomic<int> sendFailures{0};
  for (int t = 0; t < kSendingThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kMessagesEachWay / kSendingThreads; ++i) {
        api5::OstrelMessageErrorCode code;
        while ((code = send(dispatcher, "work", std::to_string(t) + ":" + std::to_string(i),
                            {{echoId, "ECHO", "1"}})) == api5::OSTREL_ERROR_TRY_AGAIN) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (code != api5::OSTREL_OK) ++sendFailures;
        if (i % 200 == 0) listed(dispatcher);
      }
    });
  }
  for (auto& sender : senders) sender.join();
  churn.join();

  EXPECT_EQ(sendFailures, 0);
  EXPECT_EQ(blaster.wait(kWaitMs), 0) << "the blaster did not get all its answers";
  EXPECT_TRUE(waitFor([&] { return echoes == kMessagesEachWay; }, kWaitMs)) << echoes;
  EXPECT_TRUE(waitFor([&] { return unreachable == churned; }, kWaitMs))
      << unreachable << " of " << churned;
  EXPECT_GT(churned, kChurnRounds / 2);
  EXPECT_EQ(answerFailures, 0);
  EXPECT_EQ(others, 0);
  // Changes close together may be told in one call, but each churn round asked for a
  // refresh of its own, and every completed refresh is told.
  EXPECT_GE(counter.refreshes(), static_cast<long>(churned));

  dispatcher->RemoveEndPointsRefreshCallback(&RecordingListener::onRefreshed, &counter);
  dispatcher->RemoveListener(&counter);
}

}  // namespace
}  // namespace ostrel_dbus_test
