// Leveled diagnostic logging to an output stream.
//
// Layers: ILogger (interface with a threshold), TestStreamLogger (writes lines to a
// stream), and a process-wide current-logger pointer through which log records are
// written when their handle ends.
//
// Threads: log sites run on the script thread and on the messaging library's threads.
// There is no lock: the current-logger pointer and the threshold are atomics written on
// the script thread and read anywhere, and each line is a few insertions into the stream
// followed by a flush, relying on the stream's own thread safety. Lines of different
// threads may interleave.
//
// Ownership: the current-logger pointer does not own the logger; a logger does not own
// its stream; a LogRecordHandle owns its record and keeps the caller's texts by pointer.
#ifndef CORVELLE_TESTSTREAMLOGGER_H
#define CORVELLE_TESTSTREAMLOGGER_H

#include <atomic>
#include <cstdarg>
#include <memory>
#include <ostream>
#include <sstream>

namespace corvelle {

typedef int LogLevel;

constexpr LogLevel LOG_ALWAYS = 0;
constexpr LogLevel LOG_ERROR = 1;
constexpr LogLevel LOG_WARNING = 2;
constexpr LogLevel LOG_INFO = 3;
constexpr LogLevel LOG_DEBUG = 4;
constexpr LogLevel LOG_TRACE = 5;

// Name of a level 0 to 5; "" for any other level.
const char* levelName(LogLevel level);

class ILogger {
 public:
  virtual ~ILogger() = default;
  virtual void log(LogLevel level, const char* message) = 0;
  virtual void logv(LogLevel level, const char* format, va_list args) = 0;
  virtual void logf(LogLevel level, const char* format, ...) = 0;
  virtual bool isEnabled(LogLevel level) = 0;
  virtual void setLevel(LogLevel level) = 0;
  virtual LogLevel getLevel() = 0;
};

class TestStreamLogger : public ILogger {
 public:
  TestStreamLogger(std::ostream& stream, LogLevel threshold);

  void log(LogLevel level, const char* message) override;
  void logv(LogLevel level, const char* format, va_list args) override;
  void logf(LogLevel level, const char* format, ...) override __attribute__((format(printf, 3, 4)));
  bool isEnabled(LogLevel level) override;
  void setLevel(LogLevel level) override;
  LogLevel getLevel() override;

 private:
  std::ostream& stream_;
  // Set on the script thread, read by log sites on any thread.
  std::atomic<LogLevel> threshold_;
};

// The module's one stream logger, bound to standard output with threshold Info.
TestStreamLogger& moduleStreamLogger();

void setCurrentLogger(ILogger* logger);
ILogger* currentLogger();
bool isLoggingEnabled(LogLevel level);

// One line being built. The text pointers are kept, not copied: callers pass literals.
struct LogRecord : std::ostringstream {
  LogRecord(const char* category, LogLevel level, const char* file, int line, const char* function)
      : category(category), level(level), file(file), line(line), function(function) {}

  const char* category;
  LogLevel level;
  const char* file;
  int line;
  const char* function;
};

// Sole owner of one record; the record is written through the current logger when the
// handle ends, also while an exception leaves the caller's block.
class LogRecordHandle {
 public:
  explicit LogRecordHandle(LogRecord* record) : record_(record) {}
  LogRecordHandle(LogRecordHandle&& other) noexcept : record_(other.record_) {
    other.record_ = nullptr;
  }
  LogRecordHandle(const LogRecordHandle&) = delete;
  LogRecordHandle& operator=(const LogRecordHandle&) = delete;
  LogRecordHandle& operator=(LogRecordHandle&&) = delete;
  ~LogRecordHandle();

  LogRecord* get() const { return record_; }

 private:
  LogRecord* record_;
};

LogRecordHandle makeLogRecord(const char* category, LogLevel level, const char* file, int line,
                              const char* function);
std::ostream& recordStream(const LogRecordHandle& handle);

// The part of a source path after its last '/', else after its last '\', else all of it.
const char* fileNameOf(const char* path);

}  // namespace corvelle

// Writes one line at `level` under `category` when logging is enabled for it; the text
// pieces are streamed in: CORVELLE_LOG(LOG_INFO, "cat", "Fn", "text " << value).
#define CORVELLE_LOG(level, category, function, pieces)                             \
  do {                                                                              \
    if (::corvelle::isLoggingEnabled(level)) {                                      \
      ::corvelle::LogRecordHandle corvelleLogHandle_ =                              \
          ::corvelle::makeLogRecord(category, level, __FILE__, __LINE__, function); \
      ::corvelle::recordStream(corvelleLogHandle_) << pieces;                       \
    }                                                                               \
  } while (0)

#endif  // CORVELLE_TESTSTREAMLOGGER_H
