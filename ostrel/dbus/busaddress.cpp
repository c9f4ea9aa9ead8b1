#include "busaddress.h"

#include <map>
#include <vector>

namespace ostrel_dbus {
namespace {

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isPlainValueChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
         c == '_' || c == '/' || c == '.' || c == '\\' || c == '*';
}

bool isValidValue(const std::string& value) {
  if (value.empty()) return false;
  for (size_t i = 0; i < value.size(); ++i) {
    if (isPlainValueChar(value[i])) continue;
    if (value[i] != '%' || i + 2 >= value.size() || !isHex(value[i + 1]) || !isHex(value[i + 2])) {
      return false;
    }
    i += 2;
  }
  return true;
}

bool isUsableEntry(const std::string& entry) {
  const size_t colon = entry.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  const std::string transport = entry.substr(0, colon);
  std::map<std::string, std::string> keys;
  const std::string rest = entry.substr(colon + 1);
  if (!rest.empty()) {
    for (const std::string& pair : splitAt(rest, ',')) {
      const size_t equals = pair.find('=');
      if (equals == std::string::npos || equals == 0) return false;
      const std::string value = pair.substr(equals + 1);
      if (!isValidValue(value)) return false;
      if (!keys.emplace(pair.substr(0, equals), value).second) return false;
    }
  }
  if (transport == "unix") return (keys.count("path") + keys.count("abstract")) == 1;
  if (transport == "tcp") return keys.count("host") == 1 && keys.count("port") == 1;
  if (transport == "unixexec") return keys.count("path") == 1;
  return transport.compare(0, 10, "x-machine-") == 0;
}

}  // namespace

std::vector<std::string> splitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool isUsableBusAddress(const std::string& address) {
  bool any = false;
  for (const std::string& entry : splitAt(address, ';')) {
    if (entry.empty()) continue;  // "a;b;" is a list with a trailing separator
    if (!isUsableEntry(entry)) return false;
    any = true;
  }
  return any;
}

std::string withoutGuid(const std::string& address) {
  std::string result;
  bool firstEntry = true;
  for (const std::string& entry : splitAt(address, ';')) {
    if (!firstEntry) result += ';';
    firstEntry = false;
    const size_t colon = entry.find(':');
    if (colon == std::string::npos) {
      result += entry;
      continue;
    }
    result += entry.substr(0, colon + 1);
    bool firstKey = true;
    for (const std::string& pair : splitAt(entry.substr(colon + 1), ',')) {
      if (pair.compare(0, 5, "guid=") == 0) continue;
      if (!firstKey) result += ',';
      firstKey = false;
      result += pair;
    }
  }
  return result;
}

}  // namespace ostrel_dbus
