#include "teststreamlogger.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

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

}  // namespace
}  // namespace corvelle
