// The JSON lines of ostrel-peer: the writer the tool prints with, and the reader the
// library's tests read its output with.
//
// Invariants, beyond not crashing:
// - any keys and texts written as one line read back as the same fields: texts byte for
//   byte, payload bytes either as the text or as its hex under key + "Hex", numbers as
//   their decimal text, and the line holds no line break;
// - a line the reader accepts, written again from its fields and read again, gives the
//   same fields.
#include <cstdint>
#include <map>
#include <string>

#include "common/fuzzcheck.h"
#include "jsonfields.h"
#include "jsonline.h"
#include "ostrel_dbus/wire.h"

using corvelle_fuzz::InputReader;
using ostrel_dbus_test::JsonFields;
using ostrel_peer::JsonLine;

namespace {

std::string hexOf(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    hex += kHex[c >> 4];
    hex += kHex[c & 0x0F];
  }
  return hex;
}

void checkReadLine(const std::string& line) {
  JsonFields fields;
  if (!ostrel_dbus_test::parseJsonFields(line, &fields)) return;
  JsonLine again;
  for (const auto& [key, value] : fields) again.text(key, value);
  JsonFields reread;
  FUZZ_CHECK(ostrel_dbus_test::parseJsonFields(again.str(), &reread),
             "own line refused: " + again.str());
  FUZZ_CHECK(reread == fields, "fields changed on the way round: " + line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkReadLine(std::string(reinterpret_cast<const char*>(data), size));

  // The input as fields: a kind byte, a key and a value, repeated.
  InputReader in(data, size);
  JsonLine line;
  JsonFields expected;
  while (!in.empty()) {
    const uint8_t kind = in.byte() % 3;
    const std::string key = in.text(64);
    if (kind == 0) {
      const std::string value = in.text(1024);
      line.text(key, value);
      expected[key] = value;
    } else if (kind == 1) {
      const auto value = static_cast<long long>(in.u64());
      line.number(key, value);
      expected[key] = std::to_string(value);
    } else {
      const std::string value = in.text(1024);
      line.bytes(key, value);
      const bool asText =
          value.find('\0') == std::string::npos && ostrel_dbus::wire::isValidUtf8(value);
      expected[asText ? key : key + "Hex"] = asText ? value : hexOf(value);
    }
  }
  const std::string written = line.str();
  FUZZ_CHECK(written.find('\n') == std::string::npos && written.find('\r') == std::string::npos,
             "line break in " + written);
  JsonFields read;
  FUZZ_CHECK(ostrel_dbus_test::parseJsonFields(written, &read), "written line refused: " + written);
  FUZZ_CHECK(read == expected, "fields read differ from those written: " + written);
  return 0;
}
