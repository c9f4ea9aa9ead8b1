#include "senderratelimit.h"

#include <gtest/gtest.h>

#include <string>

namespace corvelle {
namespace {

using std::chrono::milliseconds;
const SenderRateLimit::Clock::time_point t0{};

// How many of `count` messages from `sender`, `gap` apart from `start`, are answered.
int answered(SenderRateLimit& limit, const std::string& sender, int count, milliseconds gap,
             SenderRateLimit::Clock::time_point start) {
  int yes = 0;
  for (int i = 0; i < count; ++i) yes += limit.allow(sender, start + gap * i) ? 1 : 0;
  return yes;
}

TEST(SenderRateLimit, ABurstThenTheRate) {
  struct Case {
    const char* what;
    int count;
    milliseconds gap;
    int answered;
  };
  const Case cases[] = {
      {"one message", 1, milliseconds(0), 1},
      {"a burst at once is answered up to its size", 50, milliseconds(0), 10},
      // 2 s of messages every 10 ms: the burst, then 5 a second (the first refill 200 ms in).
      {"a sender over the rate gets the rate", 200, milliseconds(10), 10 + 9},
      {"a sender under the rate is always answered", 30, milliseconds(250), 30},
  };
  for (const Case& c : cases) {
    SenderRateLimit limit(5, 10, 16);
    EXPECT_EQ(answered(limit, ":1.5", c.count, c.gap, t0), c.answered) << c.what;
  }
}

TEST(SenderRateLimit, SendersSpendTheirOwnBudget) {
  SenderRateLimit limit(5, 10, 16);
  EXPECT_EQ(answered(limit, ":1.5", 40, milliseconds(0), t0), 10);
  // Another sender at the same moment still has its whole burst.
  EXPECT_EQ(answered(limit, ":1.6", 40, milliseconds(0), t0), 10);
  // The budget refills: two seconds later the first sender has a full burst again.
  EXPECT_EQ(answered(limit, ":1.5", 40, milliseconds(0), t0 + milliseconds(2000)), 10);
}

TEST(SenderRateLimit, AFullTableRefusesNewSendersUntilABudgetIsFullAgain) {
  SenderRateLimit limit(5, 10, 2);
  EXPECT_TRUE(limit.allow(":1.1", t0));
  EXPECT_TRUE(limit.allow(":1.2", t0));
  // Both entries are still spending: a third sender is refused and not remembered.
  EXPECT_FALSE(limit.allow(":1.3", t0 + milliseconds(100)));
  // :1.1 spends again, :1.2's budget is full after 200 ms and its entry makes room.
  EXPECT_TRUE(limit.allow(":1.1", t0 + milliseconds(150)));
  EXPECT_TRUE(limit.allow(":1.3", t0 + milliseconds(300)));
  EXPECT_FALSE(limit.allow(":1.4", t0 + milliseconds(310)));
}

TEST(SenderRateLimit, AClockThatGoesBackRefillsNothing) {
  SenderRateLimit limit(5, 10, 16);
  EXPECT_EQ(answered(limit, ":1.5", 10, milliseconds(0), t0 + milliseconds(5000)), 10);
  EXPECT_FALSE(limit.allow(":1.5", t0));
}

}  // namespace
}  // namespace corvelle
