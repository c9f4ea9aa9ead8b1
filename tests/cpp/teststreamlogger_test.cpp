#include "teststreamlogger.h"

#include "repeatfilter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvelle {
namespace {

// A logger on a string stream, installed as the current logger for one test.
class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() : logger_(out_, LOG_INFO) { setCurrentLogger(&logger_); }
  ~LoggerTest() override { setCurrentLogger(nullptr); }

  std::ostringstream out_;
  TestStreamLogger logger_;
};

TEST_F(LoggerTest, RecordLineHasLevelCategoryTextAndSourceLocation) {
  {
    recordStream(makeLogRecord("ostreladapter", LOG_INFO, "/a/b/ostreladapter.cpp", 42,
                               "OstrelAdapter::Receive"))
        << "EXCEPTION in " << std::string("OstrelAdapter::Receive");
  }
  EXPECT_EQ(out_.str(),
            "Info:ostreladapter: EXCEPTION in OstrelAdapter::Receive "
            "(ostreladapter.cpp.OstrelAdapter::Receive.42)\n");
}

TEST_F(LoggerTest, MacroWritesWithCallerLocation) {
  CORVELLE_LOG(LOG_INFO, "cat", "Fn", "value " << 7);
  const std::string line = out_.str();
  EXPECT_EQ(line.rfind("Info:cat: value 7 (teststreamlogger_test.cpp.Fn.", 0), 0u) << line;
}

TEST_F(LoggerTest, ThresholdAdmitsLevelsUpToItself) {
  struct Case {
    LogLevel threshold;
    LogLevel level;
    const char* expected;
  };
  const Case cases[] = {
      {3, 0, "Always:x\n"}, {3, 1, "Error:x\n"}, {3, 2, "Warning:x\n"}, {3, 3, "Info:x\n"},
      {3, 4, ""},           {3, 5, ""},          {5, 5, "Trace:x\n"},   {-1, 0, ""},
  };
  for (const Case& c : cases) {
    out_.str("");
    logger_.setLevel(c.threshold);
    logger_.log(c.level, "x");
    EXPECT_EQ(out_.str(), c.expected) << "threshold " << c.threshold << " level " << c.level;
    EXPECT_EQ(logger_.getLevel(), c.threshold);
  }
}

TEST(LoggerFileName, LastForwardSlashWinsOverBackslash) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/src/ostreladapter.cpp", "ostreladapter.cpp"},
      {"C:\\src\\ostreladapter.cpp", "ostreladapter.cpp"},
      {"C:/src\\sub\\ostreladapter.cpp", "src\\sub\\ostreladapter.cpp"},
      {"ostreladapter.cpp", "ostreladapter.cpp"},
      {"dir/", ""},
  };
  for (const Case& c : cases) EXPECT_STREQ(fileNameOf(c.path), c.expected) << c.path;
}

TEST_F(LoggerTest, NullMessageOrFormatWritesNothing) {
  ILogger& logger = logger_;
  logger.log(LOG_INFO, nullptr);
  logger.logf(LOG_INFO, nullptr);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(LoggerTest, EmptyFormattedTextStillWritesTheLevel) {
  const char* empty = "";
  logger_.logf(LOG_INFO, "%s", empty);
  EXPECT_EQ(out_.str(), "Info:\n");
}

TEST_F(LoggerTest, LongMessageIsWrittenWhole) {
  const std::string text(10000, 'y');
  logger_.logf(LOG_INFO, "%s!", text.c_str());
  EXPECT_EQ(out_.str(), "Info:" + text + "!\n");
}

TEST_F(LoggerTest, RecordIsWrittenWhileAnExceptionLeavesTheBlock) {
  EXPECT_THROW(
      {
        LogRecordHandle handle = makeLogRecord("cat", LOG_INFO, "f.cpp", 1, "Fn");
        recordStream(handle) << "before the throw";
        throw std::runtime_error("leaving");
      },
      std::runtime_error);
  EXPECT_EQ(out_.str(), "Info:cat: before the throw (f.cpp.Fn.1)\n");
}

TEST(LoggerCurrent, NoLoggerInstalledDropsRecords) {
  std::ostringstream out;
  TestStreamLogger logger(out, LOG_TRACE);
  setCurrentLogger(nullptr);
  EXPECT_FALSE(isLoggingEnabled(LOG_ALWAYS));
  { recordStream(makeLogRecord("cat", LOG_ALWAYS, "f.cpp", 1, "Fn")) << "dropped"; }
  EXPECT_EQ(out.str(), "");

  setCurrentLogger(&logger);
  EXPECT_TRUE(isLoggingEnabled(LOG_TRACE));
  EXPECT_EQ(currentLogger(), &logger);
  setCurrentLogger(nullptr);
}

// A logger whose own logv replaces the stream logger's: logf must reach it through the
// interface.
class CountingLogger : public TestStreamLogger {
 public:
  using TestStreamLogger::TestStreamLogger;
  void logv(LogLevel level, const char* format, va_list args) override {
    ++calls;
    TestStreamLogger::logv(level, format, args);
  }
  int calls = 0;
};

TEST(LoggerDispatch, LogfGoesThroughTheOverriddenLogv) {
  std::ostringstream out;
  CountingLogger logger(out, LOG_INFO);
  logger.logf(LOG_INFO, "n=%d", 3);
  EXPECT_EQ(logger.calls, 1);
  EXPECT_EQ(out.str(), "Info:n=3\n");
}

TEST(LoggerModule, ModuleLoggerWritesAtInfo) {
  EXPECT_EQ(moduleStreamLogger().getLevel(), LOG_INFO);
  EXPECT_TRUE(moduleStreamLogger().isEnabled(LOG_INFO));
  EXPECT_FALSE(moduleStreamLogger().isEnabled(LOG_DEBUG));
}

// A line repeated from one site is written once, counted while it repeats within a
// second, and its count is written as a line of the same format once the second is over
// (before the next line) or when the logger is replaced.
TEST_F(LoggerTest, RepeatedLinesAreWrittenOnceASecondWithTheirCount) {
  const auto logAt = [](int line, const char* text) {
    recordStream(makeLogRecord("cat", LOG_INFO, "/src/flood.cpp", line, "Fn")) << text;
  };
  for (int i = 0; i < 1000; ++i) logAt(10, "same");
  logAt(10, "other text");
  logAt(11, "same");
  EXPECT_EQ(out_.str(),
            "Info:cat: same (flood.cpp.Fn.10)\n"
            "Info:cat: other text (flood.cpp.Fn.10)\n"
            "Info:cat: same (flood.cpp.Fn.11)\n");
  out_.str("");
  // Once the window has passed, the next line of any site brings the count first.
  RepeatFilter filter;
  RepeatFilter::Line line{LOG_INFO, "cat", "same", "flood.cpp", "Fn", 10};
  std::vector<RepeatFilter::Line> due;
  const auto start = RepeatFilter::Clock::now();
  EXPECT_TRUE(filter.admit(line, start, &due));
  EXPECT_FALSE(filter.admit(line, start + std::chrono::milliseconds(10), &due));
  EXPECT_FALSE(filter.admit(line, start + std::chrono::milliseconds(900), &due));
  EXPECT_TRUE(due.empty());
  RepeatFilter::Line next = line;
  next.line = 12;
  EXPECT_TRUE(filter.admit(next, start + std::chrono::milliseconds(1000), &due));
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].text, "same (repeated 2 times)");
  EXPECT_EQ(due[0].line, 10);
  // Another repeat opens the next window; nothing is due until it passes.
  due.clear();
  EXPECT_FALSE(filter.admit(line, start + std::chrono::milliseconds(1500), &due));
  EXPECT_TRUE(due.empty());
  filter.takeAll(&due);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].text, "same (repeated 1 times)");
  // Through the module's filter, replacing the logger writes what is still counted.
  setCurrentLogger(nullptr);
  EXPECT_EQ(out_.str(), "Info:cat: same (repeated 999 times) (flood.cpp.Fn.10)\n");
}

}  // namespace
}  // namespace corvelle
