// Participant names: every form (long, short, fallback) through the codec.
//
// Invariants, beyond not crashing:
// - every text escapes to an element of letters, digits and '_' that unescapes to the
//   same text, and an element that unescapes re-escapes to itself (one spelling a byte);
// - the name built for any texts is a valid well-known bus name that parses back to the
//   same unique name, and to the same texts when it is the long form; the short form is
//   used exactly when the long one would exceed 255 bytes;
// - a name that parses is exactly the name its decoded parts build again, so no name
//   can state one unique name and encode another, and no two spellings decode alike.
#include <cctype>
#include <cstdint>
#include <string>

#include "common/fuzzcheck.h"
#include "ostrel_dbus/wire.h"
#include "participantname.h"

using corvelle_fuzz::InputReader;
using ostrel_dbus::ParticipantInfo;
using ostrel_dbus::ParticipantName;

namespace {

bool isValidWellKnownName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == ':') return false;
  size_t elements = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    const std::string element = name.substr(start, dot == std::string::npos ? dot : dot - start);
    if (element.empty() || (element[0] >= '0' && element[0] <= '9')) return false;
    for (const char c : element) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    }
    ++elements;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return elements >= 2;
}

void checkEscape(const std::string& text) {
  const std::string escaped = ParticipantName::escape(text);
  for (const char c : escaped) {
    FUZZ_CHECK(std::isalnum(static_cast<unsigned char>(c)) || c == '_', "escaped byte " + escaped);
  }
  std::string back;
  FUZZ_CHECK(ParticipantName::unescape(escaped, &back), "own escape refused: " + escaped);
  FUZZ_CHECK(back == text, "escape round trip: " + escaped);
}

void checkElement(const std::string& element) {
  std::string text;
  if (!ParticipantName::unescape(element, &text)) return;
  FUZZ_CHECK(ParticipantName::escape(text) == element, "second spelling accepted: " + element);
}

// A name that parses is the one its parts build.
void checkParsedName(const std::string& name) {
  ParticipantInfo info;
  if (!ParticipantName::parse(name, &info)) return;
  FUZZ_CHECK(name.size() <= ParticipantName::kMaxBusNameLength, "over-long name parsed");
  FUZZ_CHECK(info.uniqueName.size() >= 2 && info.uniqueName[0] == ':',
             "parsed unique name " + info.uniqueName);
  FUZZ_CHECK(isValidWellKnownName(name), "parsed an invalid bus name: " + name);
  const std::string prefix = std::string(ostrel_dbus::wire::kParticipantPrefix) + ".";
  if (info.detailsInName) {
    FUZZ_CHECK(
        ParticipantName::forParticipant(info.uniqueName, info.appId, info.appVersion) == name,
        "long form does not rebuild: " + name);
    return;
  }
  FUZZ_CHECK(info.appId.empty() && info.appVersion.empty(), "short form with texts: " + name);
  const std::string form =
      name.substr(prefix.size(), name.find('.', prefix.size()) - prefix.size());
  FUZZ_CHECK(!form.empty() && form[0] == 'L', "short form tag: " + name);
  const std::string rebuilt =
      form.size() == 1 ? prefix + "L.u" + ParticipantName::escape(info.uniqueName)
                       : ParticipantName::fallbackForParticipant(info.uniqueName, form.substr(1));
  FUZZ_CHECK(rebuilt == name, "short or fallback form does not rebuild: " + name);
}

void checkBuiltName(const std::string& uniqueName, const std::string& appId,
                    const std::string& appVersion) {
  const std::string name = ParticipantName::forParticipant(uniqueName, appId, appVersion);
  const std::string longForm =
      std::string(ostrel_dbus::wire::kParticipantPrefix) + ".a" + ParticipantName::escape(appId) +
      ".v" + ParticipantName::escape(appVersion) + ".u" + ParticipantName::escape(uniqueName);
  const bool fits = longForm.size() <= ParticipantName::kMaxBusNameLength;
  FUZZ_CHECK(fits == (name == longForm),
             "form chosen for length " + std::to_string(longForm.size()));
  if (name.size() > ParticipantName::kMaxBusNameLength)
    return;  // unique name too long for any form
  FUZZ_CHECK(isValidWellKnownName(name), "built an invalid bus name: " + name);
  ParticipantInfo info;
  const bool plausibleUnique = uniqueName.size() >= 2 && uniqueName[0] == ':';
  FUZZ_CHECK(ParticipantName::parse(name, &info) == plausibleUnique, "own name refused: " + name);
  if (!plausibleUnique) return;
  FUZZ_CHECK(info.uniqueName == uniqueName, "unique name changed: " + name);
  FUZZ_CHECK(info.detailsInName == fits, "form read back: " + name);
  if (fits) {
    FUZZ_CHECK(info.appId == appId && info.appVersion == appVersion, "texts changed: " + name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string whole(reinterpret_cast<const char*>(data), size);
  // The input as a name seen on the bus, bare and under the participant prefix.
  checkParsedName(whole);
  checkParsedName(std::string(ostrel_dbus::wire::kParticipantPrefix) + "." + whole);
  checkElement(whole);
  checkEscape(whole);

  // The input as the texts of a participant: unique name, application id, version.
  InputReader in(data, size);
  std::string uniqueName = in.text(64);
  if (in.flag()) uniqueName = ":1." + std::to_string(in.u32());
  const std::string appId = in.text();
  const std::string appVersion = in.text();
  checkBuiltName(uniqueName, appId, appVersion);
  const std::string token = in.text(32);
  bool tokenPlain = !token.empty();
  for (const char c : token) tokenPlain = tokenPlain && std::isalnum(static_cast<unsigned char>(c));
  if (tokenPlain && uniqueName.size() >= 2 && uniqueName[0] == ':') {
    const std::string fallback = ParticipantName::fallbackForParticipant(uniqueName, token);
    if (fallback.size() <= ParticipantName::kMaxBusNameLength) {
      ParticipantInfo info;
      FUZZ_CHECK(ParticipantName::parse(fallback, &info), "fallback refused: " + fallback);
      FUZZ_CHECK(!info.detailsInName && info.uniqueName == uniqueName,
                 "fallback read back: " + fallback);
      checkParsedName(fallback);
    }
  }
  return 0;
}
