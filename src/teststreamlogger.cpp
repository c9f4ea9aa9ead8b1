#include "teststreamlogger.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "repeatfilter.h"
#include "standardoutput.h"

namespace corvelle {

namespace {

const char* const kLevelNames[] = {"Always", "Error", "Warning", "Info", "Debug", "Trace"};

// Written on the script thread, read by log sites on any thread.
std::atomic<ILogger*> gCurrentLogger{nullptr};

void writeLine(ILogger* logger, const RepeatFilter::Line& line) {
  logger->logf(line.level, "%s: %s (%s.%s.%d)", line.category.c_str(), line.text.c_str(), line.file,
               line.function.c_str(), line.line);
}

}  // namespace

const char* levelName(LogLevel level) {
  if (level < 0 || level >= static_cast<LogLevel>(sizeof kLevelNames / sizeof kLevelNames[0])) {
    return "";
  }
  return kLevelNames[level];
}

TestStreamLogger::TestStreamLogger(std::ostream& stream, LogLevel threshold)
    : stream_(stream), threshold_(threshold) {}

void TestStreamLogger::log(LogLevel level, const char* message) {
  if (message == nullptr) return;  // "Message cannot be null!"
  try {
    if (!isEnabled(level)) return;
    stream_ << levelName(level) << ":" << message << "\n";
    stream_.flush();
  } catch (...) {
    // A line that cannot be written is lost; logging never fails its caller.
  }
}

void TestStreamLogger::logv(LogLevel level, const char* format, va_list args) {
  if (format == nullptr) return;  // "Format cannot be NULL"
  try {
    if (!isEnabled(level)) return;
    std::string message;
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
      std::vector<char> buffer(static_cast<size_t>(length) + 1);
      if (std::vsnprintf(buffer.data(), buffer.size(), format, args) >= 0) {
        message.assign(buffer.data());
      }
    }
    log(level, message.c_str());
  } catch (...) {
    // As in log: contained.
  }
}

void TestStreamLogger::logf(LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(level, format, args);
  va_end(args);
}

bool TestStreamLogger::isEnabled(LogLevel level) {
  return level <= threshold_.load(std::memory_order_relaxed);
}
void TestStreamLogger::setLevel(LogLevel level) {
  threshold_.store(level, std::memory_order_relaxed);
}
LogLevel TestStreamLogger::getLevel() {
  return threshold_.load(std::memory_order_relaxed);
}

TestStreamLogger& moduleStreamLogger() {
  // Never destroyed: library threads may still log while the process exits.
  static TestStreamLogger* logger = new TestStreamLogger(standardOutput(), LOG_INFO);
  return *logger;
}

void setCurrentLogger(ILogger* logger) {
  // Counts of repeated lines go to the logger that got their first line.
  if (ILogger* previous = gCurrentLogger) {
    try {
      std::vector<RepeatFilter::Line> due;
      repeatFilter().takeAll(&due);
      for (const auto& line : due) writeLine(previous, line);
    } catch (...) {
      // As in log: contained.
    }
  }
  gCurrentLogger = logger;
}
ILogger* currentLogger() {
  return gCurrentLogger;
}
bool isLoggingEnabled(LogLevel level) {
  ILogger* logger = gCurrentLogger;
  return logger != nullptr && logger->isEnabled(level);
}

const char* fileNameOf(const char* path) {
  if (path == nullptr) return "";
  if (const char* slash = std::strrchr(path, '/')) return slash + 1;
  if (const char* backslash = std::strrchr(path, '\\')) return backslash + 1;
  return path;
}

LogRecordHandle makeLogRecord(const char* category, LogLevel level, const char* file, int line,
                              const char* function) {
  return LogRecordHandle(new LogRecord(category, level, file, line, function));
}

std::ostream& recordStream(const LogRecordHandle& handle) {
  return *handle.get();
}

LogRecordHandle::~LogRecordHandle() {
  std::unique_ptr<LogRecord> record(record_);
  if (!record) return;
  ILogger* logger = gCurrentLogger;
  if (logger == nullptr) return;
  try {
    RepeatFilter::Line line{record->level,
                            record->category ? record->category : "",
                            record->str(),
                            fileNameOf(record->file),
                            record->function ? record->function : "",
                            record->line};
    // A line repeated from the same site is written at most once a second, with a count.
    std::vector<RepeatFilter::Line> due;
    const bool now = repeatFilter().admit(line, RepeatFilter::Clock::now(), &due);
    for (const auto& counted : due) writeLine(logger, counted);
    if (now) writeLine(logger, line);
  } catch (...) {
    // Never throw from a destructor, least of all during unwinding.
  }
}

}  // namespace corvelle
