// ostrel-rawbench: the baselines of the benchmark, written straight against sd-bus with
// no library in between, and the bench's load generators. Every bus role is one or more
// plain participants by docs/protocol.md (a connection that owns its participant name and
// sends and receives `Message` signals), on the bus named by OSTREL_BUS_ADDRESS.
//
//   echo      --app APP                 answers every message back to its sender
//   roundtrip --to APP                  one message in flight at a time; prints JSON
//   receive   --progress FILE ...       counts messages, measures its own CPU; prints JSON
//   blast     --to APP --total N ...    sends N messages, at most --window ahead of the
//                                       receiver's progress file (--from: the count the
//                                       file stands at when the blast begins)
//   crowd                               reads counts on stdin and keeps that many
//                                       participants on the bus, answering "ok N"
//   handoff                             no bus: two threads pass a token back and forth
//                                       (handoff.h); prints JSON of one hand-off
//
// Each bus role runs on one thread: sd_bus_process and sd_bus_wait, nothing else.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "handoff.h"
#include "monotonicclock.h"
#include "progressfile.h"
#include "samples.h"

namespace {

using ostrel_bench::monotonicNs;
using ostrel_bench::ProgressFile;
using ostrel_bench::Samples;

constexpr const char* kPrefix = "net.corvelle.Ostrel5.P.";
constexpr const char* kPath = "/net/corvelle/Ostrel5";
constexpr const char* kInterface = "net.corvelle.Ostrel5";
constexpr const char* kParticipantInterface = "net.corvelle.Ostrel5.Participant";
constexpr const char* kMember = "Message";
constexpr const char* kMessageRule =
    "type='signal',path='/net/corvelle/Ostrel5',interface='net.corvelle.Ostrel5',member='Message'";

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

[[noreturn]] void fail(const char* what, int r) {
  std::fprintf(stderr, "ostrel-rawbench: %s: %s\n", what, std::strerror(r < 0 ? -r : r));
  std::exit(3);
}

// Bus-name escape of docs/protocol.md: letters and digits stay, every other byte is _XX.
std::string escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
    } else {
      out += '_';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_' && i + 2 < text.size()) {
      out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

const char* appVersion() {
  return "1.0";
}

// Opens a connection and owns the participant name of `appId`.
BusPtr join(const std::string& appId) {
  const char* address = std::getenv("OSTREL_BUS_ADDRESS");
  if (address == nullptr || address[0] == '\0') fail("OSTREL_BUS_ADDRESS is not set", EINVAL);
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  if (r < 0) fail("sd_bus_new", r);
  BusPtr bus(raw);
  sd_bus_set_address(raw, address);
  sd_bus_set_bus_client(raw, 1);
  sd_bus_negotiate_fds(raw, 0);
  if ((r = sd_bus_start(raw)) < 0) fail("sd_bus_start", r);
  const char* unique = nullptr;
  if ((r = sd_bus_get_unique_name(raw, &unique)) < 0) fail("Hello", r);
  const std::string name = std::string(kPrefix) + "a" + escape(appId) + ".v" +
                           escape(appVersion()) + ".u" + escape(unique);
  if ((r = sd_bus_request_name(raw, name.c_str(), 0)) < 0) fail("RequestName", r);
  return bus;
}

// The unique name of a participant of `appId`, waiting up to 10 s for one to appear.
std::string find(sd_bus* bus, const std::string& appId) {
  const std::string start = std::string(kPrefix) + "a" + escape(appId) + ".v";
  for (int attempt = 0; attempt < 2000; ++attempt) {
    char** names = nullptr;
    int r = sd_bus_list_names(bus, &names, nullptr);
    if (r < 0) fail("ListNames", r);
    std::string found;
    for (char** n = names; n != nullptr && *n != nullptr; ++n) {
      const std::string name = *n;
      if (found.empty() && name.rfind(start, 0) == 0) {
        found = unescape(name.substr(name.rfind(".u") + 2));
      }
      free(*n);
    }
    free(names);
    if (!found.empty()) return found;
    usleep(5000);
  }
  fail("no participant of that application", ENOENT);
}

int sendMessage(sd_bus* bus, const char* destination, const char* type, const char* appId,
                const void* payload, size_t size) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_signal(bus, &raw, kPath, kInterface, kMember);
  if (r < 0) return r;
  MessagePtr m(raw);
  if (destination != nullptr && (r = sd_bus_message_set_destination(raw, destination)) < 0) {
    return r;
  }
  sd_bus_message_set_auto_start(raw, 0);
  if ((r = sd_bus_message_append(raw, "sss", type, appId, appVersion())) < 0) return r;
  if ((r = sd_bus_message_append_array(raw, 'y', payload, size)) < 0) return r;
  return sd_bus_send(bus, raw, nullptr);
}

// What a receiver reads of each message: the texts and the payload, as the library does.
struct Read {
  const char* type = nullptr;
  const char* appId = nullptr;
  const char* version = nullptr;
  const void* payload = nullptr;
  size_t size = 0;
};

bool readMessage(sd_bus_message* m, Read* read) {
  if (sd_bus_message_has_signature(m, "sssay") <= 0) return false;
  if (sd_bus_message_read(m, "sss", &read->type, &read->appId, &read->version) < 0) return false;
  if (sd_bus_message_read_array(m, 'y', &read->payload, &read->size) < 0) return false;
  return std::strncmp(read->type, "ostrel.SuiteMessage.", 20) == 0;
}

struct Options {
  std::string app;
  std::string to;
  std::string progress;
  std::string type = "ostrel.SuiteMessage.zem.devtools.server.info";
  long total = 0;
  long from = 0;
  long window = 2000;
  long warmup = 2000;
  long count = 20000;
  long runs = 5;
  long roundTrips = 2000;
};

// ---------------------------------------------------------------------------------------
// echo

struct EchoState {
  std::string appId;
};

int onEcho(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* state = static_cast<EchoState*>(userdata);
  Read read;
  const char* sender = sd_bus_message_get_sender(m);
  if (sender == nullptr || !readMessage(m, &read)) return 0;
  sendMessage(sd_bus_message_get_bus(m), sender, read.type, state->appId.c_str(), read.payload,
              read.size);
  return 1;
}

int runEcho(const Options& o) {
  EchoState state{o.app.empty() ? "RAW-ECHO" : o.app};
  BusPtr bus = join(state.appId);
  int r = sd_bus_add_match(bus.get(), nullptr, kMessageRule, &onEcho, &state);
  if (r < 0) fail("AddMatch", r);
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) return 0;  // the bus went away: the run is over
    if (r == 0) sd_bus_wait(bus.get(), UINT64_MAX);
  }
}

// ---------------------------------------------------------------------------------------
// roundtrip

struct Answers {
  long count = 0;
};

int onAnswer(sd_bus_message* m, void* userdata, sd_bus_error*) {
  Read read;
  if (readMessage(m, &read)) ++static_cast<Answers*>(userdata)->count;
  return 1;
}

int runRoundTrip(const Options& o) {
  BusPtr bus = join(o.app.empty() ? "RAW-RT" : o.app);
  Answers answers;
  int r = sd_bus_add_match(bus.get(), nullptr, kMessageRule, &onAnswer, &answers);
  if (r < 0) fail("AddMatch", r);
  const std::string to = find(bus.get(), o.to);
  Samples us;
  const long warmUp = std::min(200L, o.roundTrips);
  for (long i = 0; i < warmUp + o.runs * o.roundTrips; ++i) {
    const int64_t start = monotonicNs();
    const long before = answers.count;
    if ((r = sendMessage(bus.get(), to.c_str(), "ostrel.SuiteMessage.bench.roundtrip", "RAW-RT",
                         "x", 1)) < 0) {
      fail("send", r);
    }
    const int64_t deadline = start + 10000000000LL;
    while (answers.count == before) {
      r = sd_bus_process(bus.get(), nullptr);
      if (r < 0) fail("process", r);
      if (r > 0) continue;
      if (monotonicNs() > deadline) fail("no answer", ETIMEDOUT);
      sd_bus_wait(bus.get(), 1000000);
    }
    if (i >= warmUp) us.add(static_cast<double>(monotonicNs() - start) / 1000.0);
  }
  std::printf("{\"median\":%.1f,\"p99\":%.1f,\"samples\":%zu}\n", us.median(), us.percentile(99),
              us.size());
  return 0;
}

// ---------------------------------------------------------------------------------------
// receive

struct CpuMark {
  double cpuUs;
  long switches;
};

CpuMark cpuNow() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
              static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec),
          u.ru_nvcsw + u.ru_nivcsw};
}

struct Receiver {
  long count = 0;
  long bytes = 0;
};

int onReceived(sd_bus_message* m, void* userdata, sd_bus_error*) {
  Read read;
  if (!readMessage(m, &read)) return 1;
  auto* receiver = static_cast<Receiver*>(userdata);
  ++receiver->count;
  receiver->bytes += static_cast<long>(read.size);
  return 1;
}

int runReceive(const Options& o) {
  BusPtr bus = join(o.app.empty() ? "RAW-RECV" : o.app);
  Receiver receiver;
  int r = sd_bus_add_match(bus.get(), nullptr, kMessageRule, &onReceived, &receiver);
  if (r < 0) fail("AddMatch", r);
  ProgressFile progress(o.progress);
  std::printf("ready\n");
  std::fflush(stdout);
  std::vector<CpuMark> marks;
  long next = o.warmup;
  const long total = o.warmup + o.runs * o.count;
  long reported = 0;
  while (receiver.count < total) {
    r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) fail("process", r);
    if (receiver.count - reported >= ProgressFile::kEvery) {
      reported = receiver.count;
      progress.write(reported);
    }
    while (receiver.count >= next && next <= total) {
      marks.push_back(cpuNow());
      next += o.count;
    }
    if (r == 0) sd_bus_wait(bus.get(), UINT64_MAX);
  }
  progress.write(receiver.count);
  std::printf("{\"cpuUsPerMessage\":[");
  for (size_t i = 1; i < marks.size(); ++i) {
    std::printf("%s%.3f", i > 1 ? "," : "",
                (marks[i].cpuUs - marks[i - 1].cpuUs) / static_cast<double>(o.count));
  }
  std::printf("],\"switchesPerMessage\":[");
  for (size_t i = 1; i < marks.size(); ++i) {
    std::printf("%s%.4f", i > 1 ? "," : "",
                static_cast<double>(marks[i].switches - marks[i - 1].switches) /
                    static_cast<double>(o.count));
  }
  std::printf("]}\n");
  return 0;
}

// ---------------------------------------------------------------------------------------
// blast

struct Refusals {
  long count = 0;
};

int onError(sd_bus_message* m, void* userdata, sd_bus_error*) {
  if (sd_bus_message_is_method_error(m, nullptr)) ++static_cast<Refusals*>(userdata)->count;
  return 0;
}

int runBlast(const Options& o) {
  BusPtr bus = join(o.app.empty() ? "RAW-BLAST" : o.app);
  Refusals refusals;
  int r = sd_bus_add_filter(bus.get(), nullptr, &onError, &refusals);
  if (r < 0) fail("filter", r);
  const std::string to = find(bus.get(), o.to);
  ProgressFile progress(o.progress);
  const char payload[] = "0123456789abcdef";
  long delivered = 0;
  // A receiver that takes nothing for this long has gone: give up rather than hang.
  constexpr int64_t kStallNs = 30000000000LL;
  int64_t lastProgress = monotonicNs();
  for (long sent = 0; sent < o.total; ++sent) {
    while (sent - delivered >= o.window) {
      sd_bus_flush(bus.get());
      while (sd_bus_process(bus.get(), nullptr) > 0) {
      }
      const long now = progress.read() - o.from;
      if (now > delivered) {
        delivered = now;
        lastProgress = monotonicNs();
      } else if (monotonicNs() - lastProgress > kStallNs) {
        fail("the receiver stopped taking messages", ETIMEDOUT);
      } else {
        usleep(50);
      }
    }
    while ((r = sendMessage(bus.get(), to.c_str(), o.type.c_str(), "RAW-BLAST", payload,
                            sizeof payload - 1)) == -ENOBUFS) {
      sd_bus_flush(bus.get());
    }
    if (r < 0) fail("send", r);
  }
  sd_bus_flush(bus.get());
  // Stay until the receiver has everything, so that nothing is lost with the connection.
  for (long last = progress.read() - o.from; last < o.total - refusals.count;
       last = progress.read() - o.from) {
    while (sd_bus_process(bus.get(), nullptr) > 0) {
    }
    if (last > delivered) {
      delivered = last;
      lastProgress = monotonicNs();
    } else if (monotonicNs() - lastProgress > kStallNs) {
      fail("the receiver stopped taking messages", ETIMEDOUT);
    }
    usleep(1000);
  }
  if (refusals.count > 0) {
    std::fprintf(stderr, "ostrel-rawbench: the bus refused %ld messages\n", refusals.count);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// crowd

const char* const kCrowdApps[] = {"RSTN", "WRLM", "VCTR", "FOLM", "ZEMD", "CRWD"};

int onProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
               void* userdata, sd_bus_error*) {
  const char* appId = static_cast<const char*>(userdata);
  return sd_bus_message_append(reply, "s",
                               std::strcmp(property, "AppId") == 0 ? appId : appVersion());
}

const sd_bus_vtable kParticipantVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("AppId", "s", &onProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AppVersion", "s", &onProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

int runCrowd() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  std::vector<BusPtr> members;
  std::string line;
  for (;;) {
    std::vector<pollfd> fds{{0, POLLIN, 0}};
    for (const auto& m : members) {
      fds.push_back({sd_bus_get_fd(m.get()), static_cast<short>(sd_bus_get_events(m.get())), 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return 3;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0) {
        while (sd_bus_process(members[i - 1].get(), nullptr) > 0) {
        }
      }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP)) == 0) continue;
    char buffer[64];
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n <= 0) return 0;
    line.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = line.find('\n')) != std::string::npos) {
      const long want = std::atol(line.substr(0, end).c_str());
      line.erase(0, end + 1);
      while (static_cast<long>(members.size()) > want) members.pop_back();
      while (static_cast<long>(members.size()) < want) {
        const char* appId = kCrowdApps[members.size() % (sizeof kCrowdApps / sizeof *kCrowdApps)];
        members.push_back(join(appId));
        sd_bus_add_object_vtable(members.back().get(), nullptr, kPath, kParticipantInterface,
                                 kParticipantVtable, const_cast<char*>(appId));
      }
      std::printf("ok %zu\n", members.size());
      std::fflush(stdout);
    }
  }
}

// ---------------------------------------------------------------------------------------
// handoff

int runHandOff(const Options& o) {
  ostrel_bench::HandOff handOff;
  const Samples us = handOff.measure(std::min(200L, o.roundTrips), o.runs * o.roundTrips);
  std::printf("{\"median\":%.1f,\"p99\":%.1f,\"samples\":%zu}\n", us.median(), us.percentile(99),
              us.size());
  return 0;
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--app") {
      o->app = value;
    } else if (key == "--to") {
      o->to = value;
    } else if (key == "--progress") {
      o->progress = value;
    } else if (key == "--type") {
      o->type = value;
    } else if (key == "--total") {
      o->total = std::atol(value);
    } else if (key == "--from") {
      o->from = std::atol(value);
    } else if (key == "--window") {
      o->window = std::atol(value);
    } else if (key == "--warmup") {
      o->warmup = std::atol(value);
    } else if (key == "--count") {
      o->count = std::atol(value);
    } else if (key == "--runs") {
      o->runs = std::atol(value);
    } else if (key == "--round-trips") {
      o->roundTrips = std::atol(value);
    } else {
      return false;
    }
  }
  return argc % 2 == 0 && o->window > 0 && o->count > 0 && o->runs > 0 && o->roundTrips > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string role = argc >= 2 ? argv[1] : "";
  if (!parse(argc, argv, &o)) role.clear();
  signal(SIGPIPE, SIG_IGN);
  if (role == "echo") return runEcho(o);
  if (role == "roundtrip" && !o.to.empty()) return runRoundTrip(o);
  if (role == "receive" && !o.progress.empty()) return runReceive(o);
  if (role == "blast" && !o.to.empty() && !o.progress.empty()) return runBlast(o);
  if (role == "crowd") return runCrowd();
  if (role == "handoff") return runHandOff(o);
  std::fputs(
      "Usage: ostrel-rawbench echo [--app APP]\n"
      "       ostrel-rawbench roundtrip --to APP [--round-trips N] [--runs R]\n"
      "       ostrel-rawbench receive --progress FILE [--warmup W] [--count M] [--runs R]\n"
      "       ostrel-rawbench blast --to APP --total N --progress FILE [--from K] [--window W]\n"
      "       ostrel-rawbench crowd   (reads participant counts on standard input)\n"
      "       ostrel-rawbench handoff [--round-trips N] [--runs R]\n",
      stderr);
  return 1;
}
