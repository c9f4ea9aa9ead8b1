#include "ostrel_dbus/wire.h"

namespace ostrel_dbus {
namespace wire {

bool isValidUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c == 0) return false;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t length;
    unsigned long codePoint;
    unsigned long minimum;
    if ((c & 0xE0) == 0xC0) {
      length = 2;
      codePoint = c & 0x1F;
      minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      codePoint = c & 0x0F;
      minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      codePoint = c & 0x07;
      minimum = 0x10000;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    for (size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point are not UTF-8.
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    p += length;
  }
  return true;
}

}  // namespace wire
}  // namespace ostrel_dbus
