#include "participantname.h"

#include <vector>

#include "ostrel_dbus/wire.h"

namespace ostrel_dbus {
namespace {

bool isAsciiAlnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string> splitElements(const std::string& text) {
  std::vector<std::string> elements;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    elements.push_back(text.substr(start, dot == std::string::npos ? dot : dot - start));
    if (dot == std::string::npos) return elements;
    start = dot + 1;
  }
}

// The text of an element that starts with `tag`.
bool taggedText(const std::string& element, char tag, std::string* text) {
  if (element.empty() || element[0] != tag) return false;
  return ParticipantName::unescape(element.substr(1), text);
}

}  // namespace

std::string ParticipantName::escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isAsciiAlnum(c)) {
      out += ch;
    } else {
      out += '_';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

bool ParticipantName::unescape(const std::string& element, std::string* text) {
  std::string out;
  out.reserve(element.size());
  for (size_t i = 0; i < element.size(); ++i) {
    const auto c = static_cast<unsigned char>(element[i]);
    if (isAsciiAlnum(c)) {
      out += element[i];
      continue;
    }
    if (c != '_' || i + 2 >= element.size()) return false;
    const int high = hexValue(element[i + 1]);
    const int low = hexValue(element[i + 2]);
    if (high < 0 || low < 0) return false;
    const char decoded = static_cast<char>(high * 16 + low);
    // Each byte has exactly one spelling, so that one participant has one name.
    if (isAsciiAlnum(static_cast<unsigned char>(decoded))) return false;
    out += decoded;
    i += 2;
  }
  *text = std::move(out);
  return true;
}

std::string ParticipantName::forParticipant(const std::string& uniqueName, const std::string& appId,
                                            const std::string& appVersion) {
  const std::string prefix = wire::kParticipantPrefix;
  const std::string unique = ".u" + escape(uniqueName);
  std::string name = prefix + ".a" + escape(appId) + ".v" + escape(appVersion) + unique;
  if (name.size() <= kMaxBusNameLength) return name;
  return prefix + ".L" + unique;
}

std::string ParticipantName::fallbackForParticipant(const std::string& uniqueName,
                                                    const std::string& token) {
  return std::string(wire::kParticipantPrefix) + ".L" + token + ".u" + escape(uniqueName);
}

bool ParticipantName::parse(const std::string& busName, ParticipantInfo* info) {
  const std::string prefix = std::string(wire::kParticipantPrefix) + ".";
  if (busName.size() > kMaxBusNameLength || busName.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  const std::vector<std::string> elements = splitElements(busName.substr(prefix.size()));
  ParticipantInfo parsed;
  if (elements.size() == 3) {
    if (!taggedText(elements[0], 'a', &parsed.appId) ||
        !taggedText(elements[1], 'v', &parsed.appVersion) ||
        !taggedText(elements[2], 'u', &parsed.uniqueName)) {
      return false;
    }
    parsed.detailsInName = true;
  } else if (elements.size() == 2) {
    // "L" alone, or followed by the token of a fallback name.
    const std::string& form = elements[0];
    if (form.empty() || form[0] != 'L' || !taggedText(elements[1], 'u', &parsed.uniqueName)) {
      return false;
    }
    for (const char c : form) {
      if (!isAsciiAlnum(static_cast<unsigned char>(c))) return false;
    }
    parsed.detailsInName = false;
  } else {
    return false;
  }
  if (parsed.uniqueName.size() < 2 || parsed.uniqueName[0] != ':') return false;
  *info = std::move(parsed);
  return true;
}

}  // namespace ostrel_dbus
