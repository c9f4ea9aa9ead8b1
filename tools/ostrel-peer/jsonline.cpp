#include "jsonline.h"

#include <cstdio>

#include "ostrel_dbus/wire.h"

namespace ostrel_peer {

void JsonLine::comma() {
  if (!body_.empty()) body_ += ',';
}

std::string JsonLine::quote(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

JsonLine& JsonLine::text(const std::string& key, const std::string& value) {
  comma();
  body_ += quote(key) + ":" + quote(value);
  return *this;
}

JsonLine& JsonLine::number(const std::string& key, long long value) {
  comma();
  body_ += quote(key) + ":" + std::to_string(value);
  return *this;
}

JsonLine& JsonLine::bytes(const std::string& key, const std::string& value) {
  if (value.find('\0') == std::string::npos && ostrel_dbus::wire::isValidUtf8(value)) {
    return text(key, value);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(value.size() * 2);
  for (const char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    hex += kHex[c >> 4];
    hex += kHex[c & 0x0F];
  }
  return text(key + "Hex", hex);
}

}  // namespace ostrel_peer
