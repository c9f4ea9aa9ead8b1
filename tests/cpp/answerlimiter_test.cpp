#include "answerlimiter.h"

#include <gtest/gtest.h>

#include <string>

namespace corvelle {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kQuiet{1000};
const AnswerLimiter::Clock::time_point t0{};

TEST(AnswerLimiter, OneMessageIsAnsweredAnExchangeIsNot) {
  AnswerLimiter limiter(kQuiet, 16);
  EXPECT_TRUE(limiter.shouldAnswer(":1.5", t0));
  // The sender answers back at once, and again: an exchange is under way.
  EXPECT_FALSE(limiter.shouldAnswer(":1.5", t0 + milliseconds(2)));
  EXPECT_FALSE(limiter.shouldAnswer(":1.5", t0 + milliseconds(900)));
  // Each message restarts the quiet period: 1000 ms after the first is not enough.
  EXPECT_FALSE(limiter.shouldAnswer(":1.5", t0 + milliseconds(1800)));
  // After a full quiet period the sender is answered again, once.
  EXPECT_TRUE(limiter.shouldAnswer(":1.5", t0 + milliseconds(2800)));
  EXPECT_FALSE(limiter.shouldAnswer(":1.5", t0 + milliseconds(2801)));
}

TEST(AnswerLimiter, SendersAreCountedApart) {
  AnswerLimiter limiter(kQuiet, 16);
  EXPECT_TRUE(limiter.shouldAnswer(":1.5", t0));
  EXPECT_TRUE(limiter.shouldAnswer(":1.6", t0));
  EXPECT_TRUE(limiter.shouldAnswer("", t0));
  EXPECT_FALSE(limiter.shouldAnswer(":1.6", t0 + milliseconds(1)));
  EXPECT_FALSE(limiter.shouldAnswer("", t0 + milliseconds(1)));
}

TEST(AnswerLimiter, FullTableRefusesNewSendersUntilOldEntriesExpire) {
  AnswerLimiter limiter(kQuiet, 3);
  for (const char* sender : {":1.1", ":1.2", ":1.3"}) EXPECT_TRUE(limiter.shouldAnswer(sender, t0));
  // Every entry is recent: a new sender is not answered (and not remembered).
  EXPECT_FALSE(limiter.shouldAnswer(":1.4", t0 + milliseconds(10)));
  EXPECT_FALSE(limiter.shouldAnswer(":1.4", t0 + milliseconds(20)));
  // One entry is kept fresh; the others expire and make room.
  EXPECT_FALSE(limiter.shouldAnswer(":1.1", t0 + milliseconds(900)));
  EXPECT_TRUE(limiter.shouldAnswer(":1.4", t0 + milliseconds(1500)));
  EXPECT_TRUE(limiter.shouldAnswer(":1.5", t0 + milliseconds(1500)));
  EXPECT_FALSE(limiter.shouldAnswer(":1.1", t0 + milliseconds(1600)));
}

}  // namespace
}  // namespace corvelle
