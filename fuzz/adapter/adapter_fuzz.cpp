// The adapter's Receive and its endpoint cache, through the in-process library, checked
// step by step against a model of the rules.
//
// One source, two targets: adapter-receive (arbitrary type texts, ids, versions and
// payloads up to 1 MiB, bursts that fill the callback's queue, failing sends, callbacks
// set and cleared) and endpoint-cache (ids and applications from small pools, so that
// entries collide, refresh lists past the 200-entry limit). Each input starts from a
// refresh with a list it chooses, then runs its steps; after every step:
// - the cache (its entries in order) and the stale flag equal the model's;
// - every message the adapter sent is the one the rules give, in order: type, payload,
//   source, destinations (the cache entries chosen by application and version, or a
//   broadcast), answers only within each sender's budget, and a refresh was asked
//   exactly when the rules ask one;
// - every server information queued reaches the callback that was current when it
//   arrived, once and in order, within the queue's limits, and nothing else arrives;
// - every endpoint array the library handed out was handed back.
#include <napi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "adapterhost.h"
#include "cachemutex.h"
#include "common/fuzzcheck.h"
#include "librarytext.h"
#include "ostrel/OstrelMessage5.h"
#include "ostrel_inproc/control.h"
#include "ostreladapter.h"
#include "serviceportlistener.h"

#ifndef ADAPTER_FUZZ_CACHE
#define ADAPTER_FUZZ_CACHE 0
#endif

namespace api5 = quorlen::ostrel::api5;
namespace inproc = ostrel_inproc;
using corvelle_fuzz::AdapterHost;
using corvelle_fuzz::InputReader;

namespace corvelle {

// Reads the adapter's cache under its lock (friend of OstrelAdapter).
struct OstrelAdapterProbe {
  static std::vector<std::pair<std::string, inproc::EndPointText>> cache(OstrelAdapter& adapter) {
    std::vector<std::pair<std::string, inproc::EndPointText>> entries;
    CacheLock lock;
    for (const auto& [key, endPoint] : adapter.endPointCache_) {
      entries.emplace_back(key, inproc::EndPointText{endPointId(endPoint), endPointAppId(endPoint),
                                                     endPointAppVersion(endPoint)});
    }
    return entries;
  }
  static bool stale(OstrelAdapter& adapter) { return adapter.cacheStale_; }
};

}  // namespace corvelle

namespace {

using Clock = std::chrono::steady_clock;
using EndPointText = inproc::EndPointText;

constexpr size_t kCacheLimit = corvelle::kEndPointCacheLimit;
const std::string kPrefix = "ostrel.SuiteMessage.";
const std::string kTarget = "RSTN";  // the adapter's target application (run.js)

bool operator==(const EndPointText& a, const EndPointText& b) {
  return a.id == b.id && a.appId == b.appId && a.appVersion == b.appVersion;
}

std::string cut(const std::string& text) {
  return text.substr(0, std::strlen(text.c_str()));
}

std::string describe(const EndPointText& e) {
  return "{" + e.id + "," + e.appId + "," + e.appVersion + "}";
}

struct Limits {
  size_t maxText;
  size_t maxPayload;
  size_t maxBurst;
};

// Ids, applications and versions: from small pools most of the time (so that they meet),
// else any bytes.
class Vocabulary {
 public:
  explicit Vocabulary(InputReader& in) : in_(in) {}

  std::string pick(const std::vector<std::string>& pool, size_t limit) {
    const uint8_t choice = in_.byte();
    if (choice < 0xE0 || ADAPTER_FUZZ_CACHE) return pool[choice % pool.size()];
    return noZero(in_.text(limit));
  }
  EndPointText endPoint() {
    static const std::vector<std::string> ids = {":1.1", ":1.2", ":1.3", ":1.4",
                                                 ":1.5", ":1.6", ":1.7", ""};
    static const std::vector<std::string> apps = {"RSTN", "WRLM", "QOVR", "VCTR", ""};
    static const std::vector<std::string> versions = {"1.0", "2.0", "", "3"};
    if (ADAPTER_FUZZ_CACHE && in_.byte() < 0x40) {
      // Many distinct endpoints, to pass the cache's limit.
      return {":2." + std::to_string(in_.u16() % 512), apps[in_.byte() % apps.size()],
              versions[in_.byte() % versions.size()]};
    }
    return {pick(ids, 32), pick(apps, 32), pick(versions, 32)};
  }
  static std::string noZero(std::string text) {
    for (char& c : text) {
      if (c == '\0') c = '0';
    }
    return text;
  }

 private:
  InputReader& in_;
};

struct Expected {
  std::vector<inproc::CallRecord> sends;  // in order
  size_t refreshes = 0;
};

// The rules, kept beside the real adapter.
class Model {
 public:
  std::multimap<std::string, EndPointText> cache;
  bool stale = false;
  bool listening = false;
  int callback = 0;  // the current getServicePort callback, 0 for none
  std::string details;
  EndPointText self;
  std::vector<EndPointText> list;  // what the library lists (the next rebuild)
  std::vector<int> sendCodes;
  size_t sendIndex = 0;
  // Queued server information per callback, not yet delivered.
  size_t queuedCount = 0;
  size_t queuedBytes = 0;
  std::vector<corvelle_fuzz::Delivery> toDeliver;
  // When each sender of server information was last seen: the earliest and latest the
  // adapter's clock can have read then.
  std::map<std::string, std::pair<Clock::time_point, Clock::time_point>> lastSeen;
  // Each sender's answer budget as far as the model can know it: the least and most it
  // can hold, and the earliest and latest the adapter's clock can have read when it was
  // last spent from.
  struct Budget {
    double least;
    double most;
    Clock::time_point from;
    Clock::time_point to;
  };
  std::map<std::string, Budget> budgets;

  void rebuild() {
    cache.clear();
    for (const EndPointText& e : list) cache.emplace(cut(e.appId), e);
  }

  bool insert(const EndPointText& source) {
    const std::string key = cut(source.appId);
    auto range = cache.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
      if (cut(it->second.id) == cut(source.id)) return false;
    }
    if (cache.size() < kCacheLimit) cache.emplace(key, source);
    return true;
  }

  std::vector<EndPointText> select(const std::string& appId, const std::string& appVersion) const {
    const std::string key = appId.empty() ? kTarget : appId;
    std::vector<EndPointText> result;
    auto range = cache.equal_range(key);
    if (!key.empty() && !appVersion.empty()) {
      for (auto it = range.first; it != range.second; ++it) {
        if (cut(it->second.appVersion) == appVersion) result.push_back(it->second);
      }
    }
    if (result.empty()) {
      for (auto it = range.first; it != range.second; ++it) result.push_back(it->second);
    }
    return result;
  }

  // A send through sendSuiteMessage; a refresh it asks for completes after the step.
  void send(const std::string& type, const std::string& payload, const std::string& appId,
            const std::string& appVersion, Expected* expected, bool* rebuildAfter) {
    inproc::CallRecord call;
    call.op = "Send";
    call.type = kPrefix + type;
    call.payload = cut(payload);
    call.source = self;
    call.destinations = select(appId, appVersion);
    call.result = sendIndex < sendCodes.size() ? sendCodes[sendIndex++] : 0;
    expected->sends.push_back(call);
    if (call.result != 0) {
      stale = true;
    } else if (stale) {
      stale = false;
      ++expected->refreshes;
      *rebuildAfter = true;
    }
  }
};

Model& model() {
  static Model* m = new Model;
  return *m;
}

std::vector<inproc::CallRecord> takeCalls() {
  std::vector<inproc::CallRecord> calls = inproc::calls();
  inproc::clearCalls();
  return calls;
}

void checkCalls(const std::vector<inproc::CallRecord>& calls, const Expected& expected,
                const std::string& step) {
  std::vector<const inproc::CallRecord*> sends;
  size_t refreshes = 0;
  size_t handedOut = 0;
  size_t handedBack = 0;
  for (const auto& call : calls) {
    if (call.op == "Send") sends.push_back(&call);
    if (call.op == "RefreshEndPoints") ++refreshes;
    if (call.op == "GetEndPoints" && call.args.at(0) != "0") ++handedOut;
    if (call.op == "FreeEndPoints") ++handedBack;
  }
  std::string ops;
  for (const auto& call : calls)
    ops += " " + call.op + (call.op == "Send" ? "(" + std::to_string(call.result) + ")" : "");
  FUZZ_CHECK(handedOut == handedBack, step + ": endpoint arrays kept");
  FUZZ_CHECK(refreshes == expected.refreshes,
             step + ": refreshes asked " + std::to_string(refreshes) + ", expected " +
                 std::to_string(expected.refreshes) + "; calls:" + ops);
  FUZZ_CHECK(sends.size() == expected.sends.size(),
             step + ": sends " + std::to_string(sends.size()) + ", expected " +
                 std::to_string(expected.sends.size()));
  for (size_t i = 0; i < sends.size(); ++i) {
    const auto& got = *sends[i];
    const auto& want = expected.sends[i];
    FUZZ_CHECK(got.type == want.type, step + ": sent " + got.type + ", expected " + want.type);
    FUZZ_CHECK(got.payload == want.payload, step + ": payload of " + got.type);
    FUZZ_CHECK(got.source == want.source, step + ": source " + describe(got.source));
    std::string gotText;
    std::string wantText;
    for (const auto& d : got.destinations) gotText += describe(d);
    for (const auto& d : want.destinations) wantText += describe(d);
    FUZZ_CHECK(gotText == wantText,
               step + ": " + got.type + " to " + gotText + ", expected " + wantText);
  }
}

void checkCache(const std::string& step) {
  Model& m = model();
  corvelle::OstrelAdapter& adapter = AdapterHost::instance().adapter();
  const auto entries = corvelle::OstrelAdapterProbe::cache(adapter);
  FUZZ_CHECK(entries.size() <= std::max(kCacheLimit, m.list.size()),
             step + ": cache holds " + std::to_string(entries.size()));
  FUZZ_CHECK(entries.size() == m.cache.size(), step + ": cache holds " +
                                                   std::to_string(entries.size()) + ", model " +
                                                   std::to_string(m.cache.size()));
  auto it = m.cache.begin();
  for (const auto& [key, endPoint] : entries) {
    FUZZ_CHECK(key == it->first && endPoint == it->second,
               step + ": cache entry " + describe(endPoint) + ", model " + describe(it->second));
    ++it;
  }
  FUZZ_CHECK(corvelle::OstrelAdapterProbe::stale(adapter) == m.stale, step + ": stale flag");
}

void idle() {
  FUZZ_CHECK(inproc::waitIdle(10000), "the library's thread did not settle");
}

void completeRebuild(bool rebuildAfter) {
  if (rebuildAfter) model().rebuild();
}

// Waits for what the model says the callbacks get, and checks it.
void deliverQueued(const std::string& step) {
  Model& m = model();
  AdapterHost& host = AdapterHost::instance();
  const size_t before = host.deliveries().size();
  const size_t want = before + m.toDeliver.size();
  FUZZ_CHECK(host.pumpUntil(want, 10000), step + ": deliveries missing");
  FUZZ_CHECK(host.deliveries().size() == want, step + ": surplus deliveries");
  // Each callback gets its own messages in order; two handles' deliveries may interleave.
  std::vector<corvelle_fuzz::Delivery> got(host.deliveries().begin() + before,
                                           host.deliveries().end());
  std::vector<corvelle_fuzz::Delivery> wantedAll = m.toDeliver;
  const auto byCallback = [](const corvelle_fuzz::Delivery& a, const corvelle_fuzz::Delivery& b) {
    return a.callback < b.callback;
  };
  std::stable_sort(got.begin(), got.end(), byCallback);
  std::stable_sort(wantedAll.begin(), wantedAll.end(), byCallback);
  for (size_t i = 0; i < wantedAll.size(); ++i) {
    const auto& wanted = wantedAll[i];
    FUZZ_CHECK(got[i].callback == wanted.callback,
               step + ": delivered to callback " + std::to_string(got[i].callback) + ", expected " +
                   std::to_string(wanted.callback));
    FUZZ_CHECK(got[i].type == host.throughScript(wanted.type) &&
                   got[i].payload == host.throughScript(wanted.payload) &&
                   got[i].appId == host.throughScript(wanted.appId) &&
                   got[i].appVersion == host.throughScript(wanted.appVersion),
               step + ": delivered texts of " + wanted.type);
  }
  host.deliveries().clear();
  m.toDeliver.clear();
  m.queuedCount = 0;
  m.queuedBytes = 0;
}

// Whether the adapter's per-sender budget lets it answer `sender` at a time between
// `before` and `after`. When the clock's uncertainty allows either outcome, what the
// adapter did (`actual`) decides, and the budget follows it.
bool withinAnswerBudget(const std::string& sender, Clock::time_point before,
                        Clock::time_point after, const std::vector<inproc::CallRecord>& actual) {
  constexpr double kPerSecond = 5;
  constexpr double kBurst = 10;
  constexpr size_t kSenders = 4096;
  Model& m = model();
  const auto seconds = [](Clock::duration d) {
    return std::max(0.0, std::chrono::duration<double>(d).count());
  };
  // Senders whose budget is surely full again behave as new ones: the adapter may drop
  // them from its table, and a new sender starts full.
  if (m.budgets.size() >= kSenders / 2) {
    for (auto it = m.budgets.begin(); it != m.budgets.end();) {
      const double least = it->second.least + seconds(before - it->second.to) * kPerSecond;
      it = least >= kBurst ? m.budgets.erase(it) : std::next(it);
    }
  }
  auto found = m.budgets.find(sender);
  double least = kBurst;
  double most = kBurst;
  if (found != m.budgets.end()) {
    const Model::Budget& b = found->second;
    least = std::min(kBurst, b.least + seconds(before - b.to) * kPerSecond);
    most = std::min(kBurst, b.most + seconds(after - b.from) * kPerSecond);
  }
  bool answer;
  if (found == m.budgets.end() && m.budgets.size() >= kSenders / 2) {
    answer = false;  // near the table's bound a new sender may be refused
    for (const auto& call : actual) answer = answer || call.op == "Send";
  } else if (least >= 1.0) {
    answer = true;
  } else if (most < 1.0) {
    answer = false;
  } else {
    answer = false;
    for (const auto& call : actual) answer = answer || call.op == "Send";
  }
  if (answer) {
    least = std::max(least, 1.0) - 1.0;
    most -= 1.0;
  } else {
    most = std::min(most, 1.0);
    least = std::min(least, most);
  }
  m.budgets[sender] = {least, most, before, after};
  return answer;
}

// One message through Receive, in the model; `answered` resolves the answer limiter when
// its clock makes either outcome possible.
void modelReceive(const inproc::IncomingMessage& in, Clock::time_point before,
                  Clock::time_point after, const std::vector<inproc::CallRecord>& actual,
                  Expected* expected, bool* rebuildAfter) {
  Model& m = model();
  if (!m.listening) return;
  const std::string type = cut(in.type);
  if (type == "DestinationUnreachable" || m.stale) {
    m.stale = false;
    ++expected->refreshes;
    *rebuildAfter = true;
  }
  if (type == api5::ErrorMessage::TYPE) return;
  if (type.compare(0, kPrefix.size(), kPrefix) != 0) return;
  const std::string appId = cut(in.appId);
  const std::string appVersion = cut(in.appVersion);
  m.stale = m.insert(in.source);
  const char* handled[] = {corvelle::kHostReadyType, corvelle::kClientConnectedType,
                           corvelle::kServerInfoType};
  for (const char* h : handled) {
    if (type.find(h) == std::string::npos) continue;
    if (std::strcmp(h, corvelle::kServerInfoType) == 0) {
      if (m.callback != 0) {
        corvelle::ReceivedMessage record{type, appId, appVersion, in.payload};
        const size_t size = record.footprint();
        if (m.queuedCount > 0 &&
            (m.queuedCount >= corvelle::ServicePortListener::kMaxQueuedMessages ||
             m.queuedBytes + size > corvelle::ServicePortListener::kMaxQueuedBytes)) {
          return;  // dropped, not answered
        }
        ++m.queuedCount;
        m.queuedBytes += size;
        m.toDeliver.push_back({m.callback, type, in.payload, appId, appVersion});
        return;
      }
      // The answer limiter: quiet for a second since the sender was last seen.
      const std::string sender = cut(in.source.id);
      auto seen = m.lastSeen.find(sender);
      bool answer = true;
      bool known = true;
      if (seen != m.lastSeen.end()) {
        if (before - seen->second.second >= std::chrono::seconds(1)) {
          answer = true;
        } else if (after - seen->second.first < std::chrono::seconds(1)) {
          answer = false;
        } else {
          known = false;
        }
      }
      if (m.lastSeen.size() >= 1000) known = false;  // near the table's bound: either way
      m.lastSeen[sender] = {before, after};
      if (!known) {
        answer = false;
        for (const auto& call : actual) answer = answer || call.op == "Send";
      }
      if (!answer) return;
    }
    if (!withinAnswerBudget(cut(in.source.id), before, after, actual)) return;
    m.send(std::strcmp(h, corvelle::kHostReadyType) == 0 ? corvelle::kServerReadyType
                                                         : corvelle::kServerInfoType,
           m.details, appId, appVersion, expected, rebuildAfter);
    return;
  }
}

inproc::IncomingMessage incoming(InputReader& in, Vocabulary& words, const Limits& limits) {
  static const std::vector<std::string> types = {kPrefix + corvelle::kHostReadyType,
                                                 kPrefix + corvelle::kClientConnectedType,
                                                 kPrefix + corvelle::kServerInfoType,
                                                 "DestinationUnreachable",
                                                 api5::ErrorMessage::TYPE,
                                                 kPrefix + "zem.devtools.server.ready",
                                                 kPrefix + "x." + corvelle::kServerInfoType + ".y",
                                                 "zem.devtools.host.ready",
                                                 kPrefix};
  inproc::IncomingMessage message;
  const uint8_t choice = in.byte();
  message.type = choice < 0xC0 ? types[choice % types.size()]
                               : (in.flag() ? kPrefix : std::string()) + in.text(limits.maxText);
  message.appId = words.pick({"RSTN", "WRLM", "QOVR", "", "VCTR"}, limits.maxText);
  message.appVersion = words.pick({"1.0", "2.0", "", "3"}, limits.maxText);
  if (!ADAPTER_FUZZ_CACHE && in.byte() >= 0xF0) {
    message.appId = in.text(limits.maxText);  // zero bytes and all
    message.appVersion = in.text(limits.maxText);
  }
  message.source = words.endPoint();
  const uint8_t payloadKind = in.byte();
  if (payloadKind >= 0xF8 && limits.maxPayload > 4096) {
    message.payload.assign((in.u16() % (limits.maxPayload / 1024)) * 1024 + in.byte(),
                           static_cast<char>(in.byte()));
  } else {
    message.payload = in.text(limits.maxText);
  }
  return message;
}

std::vector<EndPointText> endPointList(InputReader& in, Vocabulary& words) {
  size_t count = in.byte() % 16;
  if (ADAPTER_FUZZ_CACHE && in.byte() >= 0xC0) count = 190 + in.byte() % 70;  // about the limit
  std::vector<EndPointText> list;
  for (size_t i = 0; i < count; ++i) list.push_back(words.endPoint());
  return list;
}

void deliverStep(const inproc::IncomingMessage& message, const std::string& step) {
  Model& m = model();
  if (std::getenv("FUZZ_TRACE") != nullptr) {
    std::string cacheText;
    for (const auto& [key, e] : m.cache) cacheText += describe(e);
    std::fprintf(stderr, "%s: %s from %s, stale %d, listening %d, cache %s\n", step.c_str(),
                 cut(message.type).c_str(), describe(message.source).c_str(), m.stale, m.listening,
                 cacheText.c_str());
  }
  const Clock::time_point before = Clock::now();
  FUZZ_CHECK(inproc::deliver(message), "no library instance");
  idle();
  const Clock::time_point after = Clock::now();
  const auto calls = takeCalls();
  Expected expected;
  bool rebuildAfter = false;
  modelReceive(message, before, after, calls, &expected, &rebuildAfter);
  completeRebuild(rebuildAfter);
  checkCalls(calls, expected, step + " " + cut(message.type));
  checkCache(step + " " + cut(message.type));
  (void)m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AdapterHost& host = AdapterHost::instance();
  Napi::Env env = host.env();
  Napi::HandleScope scope(env);
  Model& m = model();
  InputReader in(data, size);
  Vocabulary words(in);
  const Limits limits = ADAPTER_FUZZ_CACHE ? Limits{32, 64, 0} : Limits{512, 1u << 20, 6000};

  // A known start: the listed endpoints, the adapter listening, nothing left to deliver.
  m.self = {":1.0", "QOVR", "1.0"};
  m.list = endPointList(in, words);
  m.sendCodes.clear();
  m.sendIndex = 0;
  inproc::Script script;
  script.self = m.self;
  script.endPoints = m.list;
  inproc::reset(script);
  if (!m.listening) {
    FUZZ_CHECK(
        host.call("setServerDetails",
                  {Napi::Boolean::New(env, true), Napi::String::New(env, m.details)}, nullptr),
        "setServerDetails threw");
    m.listening = true;
  }
  FUZZ_CHECK(inproc::completeRefresh(), "no library instance");
  idle();
  m.rebuild();
  m.stale = corvelle::OstrelAdapterProbe::stale(host.adapter());
  takeCalls();
  checkCache("start");

  for (int steps = 0; steps < 48 && !in.empty(); ++steps) {
    const std::string step = "step " + std::to_string(steps);
    const int action = in.byte() % 10;
    if (std::getenv("FUZZ_TRACE") != nullptr)
      std::fprintf(stderr, "%s: action %d\n", step.c_str(), action);
    switch (action) {
      case 0:
      case 1:
      case 2:
      case 3:
        deliverStep(incoming(in, words, limits), step);
        break;
      case 4: {  // the library lists other endpoints, and a refresh completes
        m.list = endPointList(in, words);
        inproc::setEndPoints(m.list);
        if (in.flag()) {
          m.self = words.endPoint();
          inproc::setSelf(m.self);
        }
        FUZZ_CHECK(inproc::completeRefresh(), "no library instance");
        idle();
        m.rebuild();
        checkCalls(takeCalls(), Expected{}, step + " refresh");
        checkCache(step + " refresh");
        break;
      }
      case 5: {  // the next sends answer these codes
        m.sendCodes.clear();
        for (size_t n = in.byte() % 4; n > 0; --n)
          m.sendCodes.push_back(in.byte() % 3 == 0 ? 4 : 0);
        // The library goes on from the sends it has answered since the input's reset.
        inproc::setSendCodes(m.sendCodes);
        break;
      }
      case 6: {  // script announces the service (or its end)
        const bool started = in.flag();
        const std::string text = in.text(limits.maxText);
        const std::string asScript = host.throughScript(text);
        std::string error;
        const bool ok =
            host.call("setServerDetails",
                      {Napi::Boolean::New(env, started), Napi::String::New(env, text)}, &error);
        idle();
        Expected expected;
        bool rebuildAfter = false;
        FUZZ_CHECK(ok == (asScript.find('\0') == std::string::npos),
                   step + ": setServerDetails " + error);
        if (ok) {
          m.details = asScript;
          m.send(started ? corvelle::kServerReadyType : corvelle::kServerTerminatedType, m.details,
                 "", "", &expected, &rebuildAfter);
          m.listening = true;
        }
        idle();
        completeRebuild(rebuildAfter);
        checkCalls(takeCalls(), expected, step + " setServerDetails");
        checkCache(step + " setServerDetails");
        break;
      }
      case 7: {  // script asks for the service's details
        int id = 0;
        Napi::Function callback = host.newCallback(&id);
        FUZZ_CHECK(host.call("getServicePort", {callback}, nullptr),
                   step + ": getServicePort threw");
        idle();
        Expected expected;
        bool rebuildAfter = false;
        m.callback = id;
        m.queuedCount = 0;  // a new handle has a queue of its own
        m.queuedBytes = 0;
        m.listening = true;
        m.send(corvelle::kClientConnectedType, "", corvelle::kServiceAppId, "", &expected,
               &rebuildAfter);
        idle();
        completeRebuild(rebuildAfter);
        checkCalls(takeCalls(), expected, step + " getServicePort");
        checkCache(step + " getServicePort");
        break;
      }
      case 8:
        FUZZ_CHECK(host.call("disconnect", {}, nullptr), step + ": disconnect threw");
        // Every callback of the adapter is stopped: what they still queue is dropped.
        m.toDeliver.clear();
        m.callback = 0;
        m.queuedCount = 0;
        m.queuedBytes = 0;
        m.listening = false;
        checkCalls(takeCalls(), Expected{}, step + " disconnect");
        break;
      case 9: {  // a burst of one message without the script thread running, then delivery
        const inproc::IncomingMessage message = incoming(in, words, limits);
        size_t count = limits.maxBurst == 0 ? 1 : 1 + in.u16() % limits.maxBurst;
        if (message.payload.size() > 65536) count = std::min<size_t>(count, 24);
        for (size_t i = 0; i < count; ++i) deliverStep(message, step + " burst");
        deliverQueued(step + " burst");
        break;
      }
    }
  }
  deliverQueued("end");
  return 0;
}
