// Bus addresses: the library's own check of OSTREL_BUS_ADDRESS.
//
// Invariants, beyond not crashing:
// - the check agrees with a separate reading of the documented grammar (entries split by
//   ';', each `transport:key=value,...`, values of [-0-9A-Za-z_/.\*] and %XX, one of the
//   transports unix with exactly one path= or abstract=, tcp with host= and port=,
//   unixexec with path=, x-machine-*; a key given twice is refused);
// - what the library connects to (the address less its guid= keys) passes the check
//   whenever the address as given does, so an accepted address never fails it later;
// - dropping the guid keys keeps the rest: no guid= key is left, doing it twice changes
//   nothing, and the number of entries stays;
// - GetInstance answers OSTREL_ERROR_INVALID_ARGUMENT for every refused address, at once.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "busaddress.h"
#include "common/fuzzcheck.h"
#include "ostrel/OstrelMessage5.h"
#include "ostrel_dbus/wire.h"

namespace api5 = quorlen::ostrel::api5;

namespace {

std::vector<std::string> splitOn(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

bool hexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool valueOk(const std::string& value) {
  if (value.empty()) return false;
  size_t i = 0;
  while (i < value.size()) {
    const char c = value[i];
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*';
    if (plain) {
      ++i;
    } else if (c == '%' && i + 2 < value.size() && hexDigit(value[i + 1]) &&
               hexDigit(value[i + 2])) {
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

// The documented grammar, read on its own.
bool documentedUsable(const std::string& address) {
  size_t entries = 0;
  for (const std::string& entry : splitOn(address, ';')) {
    if (entry.empty()) continue;
    const size_t colon = entry.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string transport = entry.substr(0, colon);
    const std::string rest = entry.substr(colon + 1);
    std::set<std::string> keys;
    if (!rest.empty()) {
      for (const std::string& pair : splitOn(rest, ',')) {
        const size_t equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) return false;
        if (!valueOk(pair.substr(equals + 1))) return false;
        if (!keys.insert(pair.substr(0, equals)).second) return false;
      }
    }
    bool ok;
    if (transport == "unix") {
      ok = keys.count("path") + keys.count("abstract") == 1;
    } else if (transport == "tcp") {
      ok = keys.count("host") == 1 && keys.count("port") == 1;
    } else if (transport == "unixexec") {
      ok = keys.count("path") == 1;
    } else {
      ok = transport.rfind("x-machine-", 0) == 0;
    }
    if (!ok) return false;
    ++entries;
  }
  return entries > 0;
}

bool hasGuidKey(const std::string& address) {
  for (const std::string& entry : splitOn(address, ';')) {
    const size_t colon = entry.find(':');
    if (colon == std::string::npos) continue;
    for (const std::string& pair : splitOn(entry.substr(colon + 1), ',')) {
      if (pair.rfind("guid=", 0) == 0) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // GetInstance reads the address only once the configuration is set.
  api5::IOstrelMessageDispatcher::SetConfig("FUZZ", "1");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string address(reinterpret_cast<const char*>(data), size);
  const bool usable = ostrel_dbus::isUsableBusAddress(address);
  FUZZ_CHECK(usable == documentedUsable(address), "check and grammar disagree on " + address);

  const std::string connected = ostrel_dbus::withoutGuid(address);
  FUZZ_CHECK(!hasGuidKey(connected), "a guid is left in " + connected);
  FUZZ_CHECK(ostrel_dbus::withoutGuid(connected) == connected,
             "guid removal not stable: " + address);
  FUZZ_CHECK(splitOn(connected, ';').size() == splitOn(address, ';').size(),
             "entries changed: " + address);
  // What is connected to passes the check whenever the address as given does.
  if (usable) {
    FUZZ_CHECK(ostrel_dbus::isUsableBusAddress(connected),
               "taken, then refused without its guid: " + address);
  }

  // GetInstance checks the address as given, so a refused address answers "invalid
  // argument" without a connection. Should that break, the library would connect to the
  // address less its guid: it is asked only when that could at most reach a local socket
  // (never a host or a program). Texts with a zero byte cannot be in the environment.
  bool localOnly = true;
  for (const std::string& entry : splitOn(connected, ';')) {
    localOnly = localOnly && (entry.empty() || entry.rfind("unix:", 0) == 0 ||
                              !ostrel_dbus::isUsableBusAddress(entry));
  }
  if (!usable && localOnly && address.find('\0') == std::string::npos) {
    setenv(ostrel_dbus::wire::kAddressVariable, address.empty() ? "x" : address.c_str(), 1);
    api5::IOstrelMessageDispatcher* dispatcher = nullptr;
    const api5::OstrelMessageErrorCode code =
        api5::IOstrelMessageDispatcher::GetInstance(&dispatcher);
    FUZZ_CHECK(code == api5::OSTREL_ERROR_INVALID_ARGUMENT,
               "GetInstance answered " + std::to_string(code) + " for " + address);
    FUZZ_CHECK(dispatcher == nullptr, "a dispatcher for a refused address");
  }
  return 0;
}
