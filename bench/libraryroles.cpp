#include "libraryroles.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>

#include "benchparticipant.h"
#include "ostreltext.h"
#include "progressfile.h"
#include "samples.h"

namespace ostrel_bench {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kJoinTimeout(10000);

double processCpuUs(long* switches) {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  if (switches != nullptr) *switches = u.ru_nvcsw + u.ru_nivcsw;
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Counts application messages on the library's thread, reads them as a listener would,
// and takes the process's CPU time at the run boundaries. Wakes the main thread once, at
// the end. Threads: Receive on the library's thread; wait() on the main thread; mutex_
// guards done_ only, the counters belong to the library's thread until done_ is set.
class ReceiveMeter final : public api5::IOstrelMessageListener {
 public:
  explicit ReceiveMeter(const ReceiveOptions& o)
      : o_(o), progress_(o.progress), next_(o.warmup), total_(o.warmup + o.runs * o.count) {}

  void Receive(const api5::OstrelMessage& message) override {
    const std::string type = ostrel_text::typeOf(message);
    if (!ostrel_text::isApplicationType(type) || count_ >= total_) return;
    const auto& suite = static_cast<const api5::SuiteMessage&>(message);
    bytes_ += ostrel_text::payloadOf(suite).size() + ostrel_text::appIdOf(message).size();
    ++count_;
    if (count_ % ProgressFile::kEvery == 0 || count_ == total_) progress_.write(count_);
    if (count_ == next_) {
      long switches = 0;
      const double cpu = processCpuUs(&switches);
      cpuUs_.push_back(cpu);
      switches_.push_back(switches);
      next_ += o_.count;
    }
    if (count_ == total_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
      }
      finished_.notify_all();
    }
  }

  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, std::chrono::minutes(10), [&] { return done_; });
  }

  void print() const {
    std::printf("{\"cpuUsPerMessage\":[");
    for (size_t i = 1; i < cpuUs_.size(); ++i) {
      std::printf("%s%.3f", i > 1 ? "," : "",
                  (cpuUs_[i] - cpuUs_[i - 1]) / static_cast<double>(o_.count));
    }
    std::printf("],\"switchesPerMessage\":[");
    for (size_t i = 1; i < switches_.size(); ++i) {
      std::printf(
          "%s%.4f", i > 1 ? "," : "",
          static_cast<double>(switches_[i] - switches_[i - 1]) / static_cast<double>(o_.count));
    }
    std::printf("]}\n");
  }

 private:
  const ReceiveOptions o_;
  ProgressFile progress_;
  long count_ = 0;
  long next_;
  const long total_;
  size_t bytes_ = 0;
  std::vector<double> cpuUs_;
  std::vector<long> switches_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;  // mutex_
};

// Counts refresh callbacks. Threads: callback on the library's thread, waits on main.
struct RefreshCounter {
  std::mutex mutex;
  std::condition_variable changed;
  long count = 0;  // mutex

  static void callback(void* context) {
    auto* self = static_cast<RefreshCounter*>(context);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      ++self->count;
    }
    self->changed.notify_all();
  }
};

size_t endPointCount(api5::IOstrelMessageDispatcher* dispatcher) {
  api5::EndPoint* array = nullptr;
  size_t count = 0;
  dispatcher->GetEndPoints(&array, &count);
  if (count > 0) dispatcher->FreeEndPoints(array);
  return count;
}

// What the module's adapter does in its refresh callback: copy the whole list and key
// it by application id. Timed on the library's thread, with the thread's CPU clock.
class JoinWatch {
 public:
  JoinWatch(api5::IOstrelMessageDispatcher* dispatcher, std::vector<long> marks, size_t base)
      : dispatcher_(dispatcher), marks_(std::move(marks)), base_(base) {}

  static void callback(void* context) { static_cast<JoinWatch*>(context)->refreshed(); }

  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, std::chrono::minutes(5),
                              [&] { return reported_.size() == marks_.size(); });
  }

  void print() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("[");
    for (size_t i = 0; i < reported_.size(); ++i)
      std::printf("%s%s", i ? "," : "", reported_[i].c_str());
    std::printf("]\n");
  }

 private:
  void refreshed() {
    const double start = threadCpuMs();
    if (threadBase_ < 0) {
      threadBase_ = start;
      wallBase_ = std::chrono::steady_clock::now();
    }
    api5::EndPoint* array = nullptr;
    size_t count = 0;
    dispatcher_->GetEndPoints(&array, &count);
    std::multimap<std::string, api5::EndPoint> cache;
    for (size_t i = 0; i < count; ++i) cache.emplace(ostrel_text::appIdOf(array[i]), array[i]);
    if (count > 0) dispatcher_->FreeEndPoints(array);
    ++callbacks_;
    inCallbacksMs_ += threadCpuMs() - start;
    const long joined = static_cast<long>(count) - static_cast<long>(base_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (reported_.size() < marks_.size() && joined >= marks_[reported_.size()]) {
      char text[200];
      std::snprintf(
          text, sizeof text,
          "{\"joined\":%ld,\"callbacks\":%ld,\"callbackMs\":%.2f,\"libraryThreadMs\":%.2f,"
          "\"wallMs\":%.1f}",
          joined, callbacks_, inCallbacksMs_, threadCpuMs() - threadBase_,
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallBase_)
              .count());
      reported_.push_back(text);
      if (reported_.size() == marks_.size()) finished_.notify_all();
    }
  }

  api5::IOstrelMessageDispatcher* const dispatcher_;
  const std::vector<long> marks_;
  const size_t base_;
  // Library thread only.
  long callbacks_ = 0;
  double inCallbacksMs_ = 0;
  double threadBase_ = -1;
  std::chrono::steady_clock::time_point wallBase_;  // the first callback
  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<std::string> reported_;  // mutex_
};

}  // namespace

int runLibraryReceive(const ReceiveOptions& options) {
  auto* dispatcher = BenchParticipant::join("LIB-RECV", kJoinTimeout);
  if (dispatcher == nullptr) return 3;
  ReceiveMeter meter(options);
  dispatcher->AddListener(&meter);
  std::printf("ready\n");
  std::fflush(stdout);
  const bool done = meter.wait();
  dispatcher->RemoveListener(&meter);
  api5::IOstrelMessageDispatcher::ReleaseInstance();
  if (!done) return 2;
  meter.print();
  return 0;
}

int runLibraryRefresh(long samples) {
  auto* dispatcher = BenchParticipant::join("LIB-REFRESH", kJoinTimeout);
  if (dispatcher == nullptr) return 3;
  RefreshCounter counter;
  dispatcher->AddEndPointsRefreshCallback(&RefreshCounter::callback, &counter);
  Samples us;
  int status = 0;
  // The process's CPU time over the timed refreshes: the participant's own share of a
  // refresh, which a busy machine does not inflate the way it does the elapsed time.
  double cpuStartUs = 0;
  for (long i = 0; i <= samples && status == 0; ++i) {
    if (i == 1) cpuStartUs = processCpuUs(nullptr);
    std::unique_lock<std::mutex> lock(counter.mutex);
    const long before = counter.count;
    const auto start = std::chrono::steady_clock::now();
    lock.unlock();
    dispatcher->RefreshEndPoints();
    lock.lock();
    if (!counter.changed.wait_for(lock, milliseconds(10000),
                                  [&] { return counter.count > before; })) {
      status = 2;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    if (i > 0) us.add(std::chrono::duration<double, std::micro>(took).count());
  }
  const double cpuUs = (processCpuUs(nullptr) - cpuStartUs) / static_cast<double>(samples);
  const size_t endPoints = endPointCount(dispatcher);
  dispatcher->RemoveEndPointsRefreshCallback(&RefreshCounter::callback, &counter);
  api5::IOstrelMessageDispatcher::ReleaseInstance();
  if (status != 0) return status;
  std::printf("{\"median\":%.1f,\"p99\":%.1f,\"cpuUs\":%.1f,\"samples\":%zu,\"endPoints\":%zu}\n",
              us.median(), us.percentile(99), cpuUs, us.size(), endPoints);
  return 0;
}

int runLibraryJoins(const std::vector<long>& marks) {
  auto* dispatcher = BenchParticipant::join("LIB-JOINS", kJoinTimeout);
  if (dispatcher == nullptr) return 3;
  JoinWatch watch(dispatcher, marks, endPointCount(dispatcher));
  dispatcher->AddEndPointsRefreshCallback(&JoinWatch::callback, &watch);
  std::printf("ready\n");
  std::fflush(stdout);
  const bool done = watch.wait();
  dispatcher->RemoveEndPointsRefreshCallback(&JoinWatch::callback, &watch);
  api5::IOstrelMessageDispatcher::ReleaseInstance();
  if (!done) return 2;
  watch.print();
  return 0;
}

}  // namespace ostrel_bench
