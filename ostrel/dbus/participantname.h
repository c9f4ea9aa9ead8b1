// The well-known bus name through which a participant publishes its application id and
// version, so that one ListNames call lists every participant with both texts.
//
// Form: <prefix>.a<appId>.v<appVersion>.u<uniqueName>, each text escaped to the bus-name
// element rules: ASCII letters and digits stay as they are, every other byte becomes
// '_' and two upper-case hex digits. The leading letter of each element keeps it from
// starting with a digit and from being empty. The unique name makes the name differ
// between participants of the same application and version.
//
// Bus names are at most 255 bytes. When the texts do not fit, the participant owns
// <prefix>.L.u<uniqueName> instead, and peers read the texts from its AppId and
// AppVersion properties.
//
// When another connection already owns the name a participant would own (it can guess
// the next unique name and claim the name first), the participant owns
// <prefix>.L<token>.u<uniqueName> instead, with a random token of 16 upper-case hex
// digits, which nobody can claim ahead of it; peers read its texts from the properties.
// Every form encodes the owner's unique name, so peers can check that the owner is the
// connection that the name names.
//
// Stateless; safe from any thread.
#ifndef OSTREL_DBUS_PARTICIPANTNAME_H
#define OSTREL_DBUS_PARTICIPANTNAME_H

#include <cstddef>
#include <string>

namespace ostrel_dbus {

struct ParticipantInfo {
  std::string uniqueName;
  std::string appId;
  std::string appVersion;
  // True for the long form, which spells appId and appVersion. False for the short form
  // and the fallback name: appId and appVersion are then empty and must be read from the
  // participant's properties.
  bool detailsInName = false;
};

class ParticipantName {
 public:
  static constexpr size_t kMaxBusNameLength = 255;

  // The name that the participant with these texts owns.
  static std::string forParticipant(const std::string& uniqueName, const std::string& appId,
                                    const std::string& appVersion);
  // The fallback name with `token` (letters and digits only).
  static std::string fallbackForParticipant(const std::string& uniqueName,
                                            const std::string& token);
  // Decodes a name of any form. False for names that are not participant names or
  // that are malformed.
  static bool parse(const std::string& busName, ParticipantInfo* info);

  static std::string escape(const std::string& text);
  static bool unescape(const std::string& element, std::string* text);
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_PARTICIPANTNAME_H
