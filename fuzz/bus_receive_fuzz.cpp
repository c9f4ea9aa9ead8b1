// The library's receive path on a live private bus. The process starts a dbus-daemon of
// the project's configuration, joins it as a library participant (QOVR 1.0) that echoes
// every "probe" message back to its sender, and opens two bare sd-bus connections: the
// fuzzer, which turns each input into D-Bus messages (signals of any path, interface,
// member, signature and values the wire allows, unicast to the participant or broadcast,
// and method calls to its object), and a known host.
//
// Invariants, beyond not crashing:
// - the participant's listener gets exactly the application messages among them (signals
//   of the Ostrel path, interface and member, signature sssay, type with the prefix), in
//   order, with their texts, payload and the sender's unique name as source, and nothing
//   else;
// - after each input the participant still answers the known host's probe within 5 s,
//   and is still ready.
//
// Threads: libFuzzer's thread sends and waits; the library's thread runs the listener,
// which hands what it gets over under `mutex`.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "common/fuzzcheck.h"
#include "ostrel/OstrelMessage5.h"
#include "ostrel_dbus/wire.h"
#include "privatebus.h"

namespace api5 = quorlen::ostrel::api5;
namespace wire = ostrel_dbus::wire;
using corvelle_fuzz::InputReader;

namespace {

const std::string kPrefix = api5::SuiteMessage::TYPE_PREFIX;
// Types that only the harness sends: generated messages never take them.
const std::string kHarnessPrefix = kPrefix + "fuzz.";
const std::string kProbe = kHarnessPrefix + "probe";

struct Seen {
  std::string type;
  std::string appId;
  std::string appVersion;
  std::string payload;
  std::string source;
};

std::string text(size_t (api5::OstrelMessage::*sizeOf)() const,
                 api5::OstrelMessageErrorCode (api5::OstrelMessage::*get)(char*, size_t) const,
                 const api5::OstrelMessage& m) {
  std::string out((m.*sizeOf)(), '\0');
  if (!out.empty()) (m.*get)(&out[0], out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

// The participant's listener: records everything but probes, and echoes probes.
class Participant : public api5::IOstrelMessageListener {
 public:
  api5::IOstrelMessageDispatcher* dispatcher = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Seen> seen;  // guarded by mutex

  void Receive(const api5::OstrelMessage& message) override {
    const auto* suite = dynamic_cast<const api5::SuiteMessage*>(&message);
    if (suite == nullptr) return;
    Seen s;
    s.type = text(&api5::OstrelMessage::GetTypeSize, &api5::OstrelMessage::GetType, message);
    s.appId = text(&api5::OstrelMessage::GetAppIdSize, &api5::OstrelMessage::GetAppId, message);
    s.appVersion =
        text(&api5::OstrelMessage::GetAppVersionSize, &api5::OstrelMessage::GetAppVersion, message);
    const size_t size = suite->GetPayloadSize();
    if (size > 1) {
      s.payload.assign(size, '\0');
      suite->GetPayload(&s.payload[0], size);
      s.payload.resize(size - 1);
    }
    const api5::EndPoint source = suite->GetSource();
    std::string id(source.GetIdSize(), '\0');
    if (!id.empty()) source.GetId(&id[0], id.size());
    s.source = id.c_str();
    if (s.type == kProbe) {
      api5::SuiteMessage echo(kProbe.c_str());
      echo.SetPayload(s.payload.c_str());
      echo.SetDestinations(&source, 1);
      dispatcher->Send(echo);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(std::move(s));
    changed.notify_all();
  }
};

ostrel_dbus_test::PrivateBus* bus = nullptr;
Participant* participant = nullptr;
sd_bus* fuzzer = nullptr;
sd_bus* host = nullptr;
std::string participantName;
uint64_t inputNumber = 0;

void stopBus() {
  if (bus != nullptr) bus->stop();
}

sd_bus* connect(const std::string& address) {
  sd_bus* b = nullptr;
  FUZZ_CHECK(sd_bus_new(&b) >= 0, "sd_bus_new");
  FUZZ_CHECK(sd_bus_set_address(b, address.c_str()) >= 0, "sd_bus_set_address");
  sd_bus_set_bus_client(b, 1);
  FUZZ_CHECK(sd_bus_start(b) >= 0, "a bare connection to the private bus");
  return b;
}

void drain(sd_bus* b) {
  while (sd_bus_process(b, nullptr) > 0) {
  }
}

// Texts on the wire are UTF-8 without zero bytes: other bytes are replaced.
std::string wireText(std::string s) {
  for (char& c : s) {
    if (c == '\0' || (static_cast<unsigned char>(c) & 0x80)) c = '?';
  }
  return s;
}

// Completes one type of `sig` starting at `pos` and answers the position after it.
size_t typeEnd(const std::string& sig, size_t pos) {
  if (pos >= sig.size()) return pos;
  const char c = sig[pos];
  if (c == 'a') return typeEnd(sig, pos + 1);
  if (c == '(' || c == '{') {
    const char close = c == '(' ? ')' : '}';
    ++pos;
    while (pos < sig.size() && sig[pos] != close) pos = typeEnd(sig, pos);
    return pos + 1;
  }
  return pos + 1;
}

std::string randomType(InputReader& in, int depth) {
  static const char kBasic[] = "ybnqiuxtdsog";
  const uint8_t c = in.byte() % (depth > 3 ? 12 : 16);
  if (c < 12) return std::string(1, kBasic[c]);
  if (c == 12) return "a" + randomType(in, depth + 1);
  if (c == 13) return "v";
  if (c == 14) return std::string("a{") + kBasic[in.byte() % 12] + randomType(in, depth + 1) + "}";
  std::string fields = "(";
  for (int n = 1 + in.byte() % 3; n > 0; --n) fields += randomType(in, depth + 1);
  return fields + ")";
}

int appendValue(sd_bus_message* m, const std::string& type, InputReader& in, int depth);

int appendBasic(sd_bus_message* m, char type, InputReader& in) {
  switch (type) {
    case 'y': {
      uint8_t v = in.byte();
      return sd_bus_message_append_basic(m, type, &v);
    }
    case 'b': {
      int v = in.flag();
      return sd_bus_message_append_basic(m, type, &v);
    }
    case 'n':
    case 'q': {
      uint16_t v = in.u16();
      return sd_bus_message_append_basic(m, type, &v);
    }
    case 'i':
    case 'u': {
      uint32_t v = in.u32();
      return sd_bus_message_append_basic(m, type, &v);
    }
    case 'x':
    case 't': {
      uint64_t v = in.u64();
      return sd_bus_message_append_basic(m, type, &v);
    }
    case 'd': {
      uint64_t bits = in.u64();
      double v;
      std::memcpy(&v, &bits, sizeof v);
      return sd_bus_message_append_basic(m, type, &v);
    }
    case 's': {
      const std::string v = wireText(in.text(300));
      return sd_bus_message_append_basic(m, type, v.c_str());
    }
    case 'o': {
      static const char* const paths[] = {"/", "/net/corvelle/Ostrel5", "/a/b_c",
                                          "/org/freedesktop/DBus"};
      return sd_bus_message_append_basic(m, type, paths[in.byte() % 4]);
    }
    case 'g': {
      static const char* const sigs[] = {"", "s", "sssay", "a{sv}"};
      return sd_bus_message_append_basic(m, type, sigs[in.byte() % 4]);
    }
  }
  return -EINVAL;
}

int appendValue(sd_bus_message* m, const std::string& type, InputReader& in, int depth) {
  const char c = type[0];
  if (c == 'a') {
    const std::string element = type.substr(1);
    int r = sd_bus_message_open_container(m, 'a', element.c_str());
    if (r < 0) return r;
    for (int n = in.byte() % (depth > 2 ? 2 : 6); n > 0 && r >= 0; --n) {
      if (element[0] == '{') {
        const std::string inner = element.substr(1, element.size() - 2);
        const size_t keyEnd = typeEnd(inner, 0);
        r = sd_bus_message_open_container(m, 'e', inner.c_str());
        if (r >= 0) r = appendValue(m, inner.substr(0, keyEnd), in, depth + 1);
        if (r >= 0) r = appendValue(m, inner.substr(keyEnd), in, depth + 1);
        if (r >= 0) r = sd_bus_message_close_container(m);
      } else {
        r = appendValue(m, element, in, depth + 1);
      }
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
  }
  if (c == '(') {
    const std::string inner = type.substr(1, type.size() - 2);
    int r = sd_bus_message_open_container(m, 'r', inner.c_str());
    for (size_t pos = 0; r >= 0 && pos < inner.size();) {
      const size_t end = typeEnd(inner, pos);
      r = appendValue(m, inner.substr(pos, end - pos), in, depth + 1);
      pos = end;
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
  }
  if (c == 'v') {
    const std::string inner = depth > 3 ? "s" : randomType(in, depth + 1);
    int r = sd_bus_message_open_container(m, 'v', inner.c_str());
    if (r >= 0) r = appendValue(m, inner, in, depth + 1);
    return r < 0 ? r : sd_bus_message_close_container(m);
  }
  return appendBasic(m, c, in);
}

// One message from the input; answers whether the participant must see it, filling `expected`.
bool sendOne(InputReader& in, std::vector<Seen>* expected) {
  static const char* const paths[] = {wire::kObjectPath, "/", "/net/corvelle", "/x"};
  static const char* const interfaces[] = {wire::kInterface,
                                           wire::kParticipantInterface,
                                           "org.freedesktop.DBus.Properties",
                                           "org.freedesktop.DBus.Introspectable",
                                           "org.freedesktop.DBus.Peer",
                                           "net.corvelle.Ostrel4"};
  static const char* const members[] = {wire::kMember, "Get",  "GetAll",  "Set",
                                        "Introspect",  "Ping", "Message2"};
  const uint8_t kind = in.byte();
  const bool shaped = (kind & 3) != 3;  // most messages take the application message's shape
  const bool call = (kind & 0x0C) == 0x0C;
  const bool unicast = (kind & 0x10) != 0 || call;
  const char* path = shaped ? wire::kObjectPath : paths[in.byte() % 4];
  const char* interface = shaped ? wire::kInterface : interfaces[in.byte() % 6];
  const char* member = shaped ? wire::kMember : members[in.byte() % 7];
  sd_bus_message* m = nullptr;
  int r = call ? sd_bus_message_new_method_call(fuzzer, &m, participantName.c_str(), path,
                                                interface, member)
               : sd_bus_message_new_signal(fuzzer, &m, path, interface, member);
  FUZZ_CHECK(r >= 0, "a new message");
  sd_bus_message_set_auto_start(m, 0);
  if (unicast && !call) sd_bus_message_set_destination(m, participantName.c_str());
  if (call) sd_bus_message_set_expect_reply(m, 0);
  Seen s;
  std::string signature;
  if (shaped && (kind & 0x20) == 0) {
    // sssay: type, application id, version, payload.
    s.type = wireText((in.flag() ? kPrefix : std::string()) + in.text(200));
    // The harness's own types (the probe and the end marker) stay the harness's.
    if (s.type.compare(0, kHarnessPrefix.size(), kHarnessPrefix) == 0)
      s.type.insert(kPrefix.size(), "x");
    s.appId = wireText(in.text(64));
    s.appVersion = wireText(in.text(64));
    s.payload = in.text(2048);
    if (in.byte() == 0xFF) s.payload.append(in.u16() % 900 * 1024, 'p');  // up to ~0.9 MB
    r = sd_bus_message_append(m, "sss", s.type.c_str(), s.appId.c_str(), s.appVersion.c_str());
    if (r >= 0) r = sd_bus_message_append_array(m, 'y', s.payload.data(), s.payload.size());
    signature = "sssay";
  } else {
    for (int n = in.byte() % 5; n > 0 && r >= 0; --n) {
      const std::string type = randomType(in, 0);
      signature += type;
      r = appendValue(m, type, in, 0);
    }
  }
  // A random signature that happens to be sssay is left out: its first text decides
  // whether it is an application message, and the model above does not read it.
  if (r >= 0 && signature == "sssay" && s.type.empty()) r = -EINVAL;
  if (r < 0) {  // sd-bus refused the values (the wire does not allow them)
    sd_bus_message_unref(m);
    return false;
  }
  r = sd_bus_send(fuzzer, m, nullptr);
  sd_bus_message_unref(m);
  if (r < 0) return false;
  const bool application = !call && std::strcmp(path, wire::kObjectPath) == 0 &&
                           std::strcmp(interface, wire::kInterface) == 0 &&
                           std::strcmp(member, wire::kMember) == 0 && signature == "sssay" &&
                           s.type.compare(0, kPrefix.size(), kPrefix) == 0 && s.type != kProbe;
  if (application) {
    const char* unique = nullptr;
    sd_bus_get_unique_name(fuzzer, &unique);
    s.source = unique;
    expected->push_back(std::move(s));
  }
  return application;
}

// Sends an application message from `from` to the participant with `type`.
void sendApplication(sd_bus* from, const std::string& type, const std::string& payload) {
  sd_bus_message* m = nullptr;
  FUZZ_CHECK(
      sd_bus_message_new_signal(from, &m, wire::kObjectPath, wire::kInterface, wire::kMember) >= 0,
      "a marker");
  sd_bus_message_set_destination(m, participantName.c_str());
  sd_bus_message_set_auto_start(m, 0);
  FUZZ_CHECK(sd_bus_message_append(m, "sss", type.c_str(), "RSTN", "1.0") >= 0, "marker texts");
  FUZZ_CHECK(sd_bus_message_append_array(m, 'y', payload.data(), payload.size()) >= 0,
             "marker payload");
  FUZZ_CHECK(sd_bus_send(from, m, nullptr) >= 0, "marker sent");
  sd_bus_message_unref(m);
}

// The known host: sends a probe and waits for the echo.
bool probeAnswered(const std::string& token) {
  sendApplication(host, kProbe, token);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    sd_bus_message* m = nullptr;
    const int r = sd_bus_process(host, &m);
    FUZZ_CHECK(r >= 0, "the known host lost the bus");
    if (m != nullptr) {
      const bool echo = sd_bus_message_is_signal(m, wire::kInterface, wire::kMember) > 0 &&
                        sd_bus_message_has_signature(m, "sssay") > 0;
      bool match = false;
      if (echo) {
        const char* type = nullptr;
        const char* id = nullptr;
        const char* version = nullptr;
        const void* bytes = nullptr;
        size_t size = 0;
        if (sd_bus_message_read(m, "sss", &type, &id, &version) >= 0 &&
            sd_bus_message_read_array(m, 'y', &bytes, &size) >= 0) {
          match = kProbe == type && std::string(static_cast<const char*>(bytes), size) == token;
        }
      }
      sd_bus_message_unref(m);
      if (match) return true;
      continue;
    }
    if (r == 0) sd_bus_wait(host, 100000);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  bus = new ostrel_dbus_test::PrivateBus;
  FUZZ_CHECK(bus->start(), "the private bus did not start");
  std::atexit(stopBus);
  // libFuzzer ends a run on a finding or a timeout without exit handlers: a watcher
  // process stops the daemon once this process is gone.
  const pid_t fuzzing = getpid();
  const pid_t daemon = bus->pid();
  if (fork() == 0) {
    while (getppid() == fuzzing) sleep(1);
    kill(daemon, SIGTERM);
    _exit(0);
  }
  setenv(wire::kAddressVariable, bus->address().c_str(), 1);
  participant = new Participant;
  FUZZ_CHECK(api5::IOstrelMessageDispatcher::SetConfig("QOVR", "1.0") == api5::OSTREL_OK,
             "SetConfig");
  FUZZ_CHECK(
      api5::IOstrelMessageDispatcher::GetInstance(&participant->dispatcher) == api5::OSTREL_OK,
      "GetInstance");
  participant->dispatcher->AddListener(participant);
  const api5::EndPoint self = participant->dispatcher->GetSelf();
  std::string id(self.GetIdSize(), '\0');
  self.GetId(&id[0], id.size());
  participantName = id.c_str();
  fuzzer = connect(bus->address());
  host = connect(bus->address());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  std::vector<Seen> expected;
  for (int n = 0; n < 8 && !in.empty(); ++n) sendOne(in, &expected);
  // One connection's messages arrive in order: once the marker is in, so is the rest.
  const std::string marker = kHarnessPrefix + "marker." + std::to_string(++inputNumber);
  sendApplication(fuzzer, marker, "");
  const char* unique = nullptr;
  sd_bus_get_unique_name(fuzzer, &unique);
  expected.push_back({marker, "RSTN", "1.0", "", unique});
  sd_bus_flush(fuzzer);
  {
    std::unique_lock<std::mutex> lock(participant->mutex);
    const bool arrived = participant->changed.wait_for(lock, std::chrono::seconds(10), [&] {
      return !participant->seen.empty() && participant->seen.back().type == marker;
    });
    FUZZ_CHECK(arrived, "the participant stopped taking messages");
    FUZZ_CHECK(participant->seen.size() == expected.size(),
               "the listener got " + std::to_string(participant->seen.size()) +
                   " messages, expected " + std::to_string(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
      const Seen& got = participant->seen[i];
      const Seen& want = expected[i];
      FUZZ_CHECK(
          got.type == want.type && got.appId == want.appId && got.appVersion == want.appVersion &&
              got.payload == want.payload && got.source == want.source,
          "message " + std::to_string(i) + " delivered as " + got.type + " from " + got.source);
    }
    participant->seen.clear();
  }
  drain(fuzzer);  // replies to its method calls
  FUZZ_CHECK(participant->dispatcher->IsReady(), "the participant is no longer ready");
  FUZZ_CHECK(probeAnswered(std::to_string(inputNumber)),
             "the participant stopped answering the known host");
  return 0;
}
