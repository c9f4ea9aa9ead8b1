// Keeps a repeated diagnostic line from filling the log.
//
// A line is the same as another when it comes from the same log site (source file and
// line) with the same text. The first is written at once; the same line again within
// kWindow after the last one written is not written but counted. Once the window has
// passed, the count is written as that line with " (repeated N times)" added to its text,
// before the next line of any site, or when the logger is replaced; that line opens a new
// window. So a line repeated without end is written about once a second, each time with
// how often it came, and the count of the last second is written when the repeats stop.
//
// Threads: any thread (log sites run on the script thread and the library's threads).
// Locks: `mutex_` guards `sites_`, held only for the table update; nothing is written
// under it. Ownership: the process's one filter lives for ever (repeatFilter()).
#ifndef CORVELLE_REPEATFILTER_H
#define CORVELLE_REPEATFILTER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace corvelle {

class RepeatFilter {
 public:
  using Clock = std::chrono::steady_clock;

  // One line to write, in the pieces of the line format.
  struct Line {
    int level = 0;
    std::string category;
    std::string text;
    const char* file = "";  // a source file name: a literal that lives for ever
    std::string function;
    int line = 0;
  };

  static constexpr Clock::duration kWindow = std::chrono::seconds(1);
  // Lines remembered at once; beyond it lines whose window has passed are forgotten, and
  // while all are recent a new line is written unfiltered (log texts are the module's
  // own, so this many different lines a second do not occur).
  static constexpr size_t kMaxLines = 256;

  // Whether `line` is to be written now. `due` receives the counts of repeated lines
  // whose window has passed, to be written first.
  bool admit(const Line& line, Clock::time_point now, std::vector<Line>* due);
  // Every count not written yet, whatever its window.
  void takeAll(std::vector<Line>* due);

 private:
  struct Seen {
    Clock::time_point writtenAt;
    uint64_t repeats = 0;
    Line last;
  };
  using Key = std::tuple<const char*, int, std::string>;

  static Line counted(const Seen& seen);
  void takeDue(Clock::time_point now, std::vector<Line>* due);

  std::mutex mutex_;
  std::map<Key, Seen> sites_;  // mutex_
};

// The process's filter, used by every log record.
RepeatFilter& repeatFilter();

}  // namespace corvelle

#endif  // CORVELLE_REPEATFILTER_H
