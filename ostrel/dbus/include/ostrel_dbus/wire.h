// What the D-Bus implementation of the messaging library puts on the bus. docs/protocol.md
// describes the same names for people and for peers written with standard D-Bus tools.
#ifndef OSTREL_DBUS_WIRE_H
#define OSTREL_DBUS_WIRE_H

#include <cstddef>
#include <string>

namespace ostrel_dbus {
namespace wire {

// Every application message is one signal of this member, on this path and interface,
// with the arguments (type, sender application id, sender application version, payload).
constexpr const char* kObjectPath = "/net/corvelle/Ostrel5";
constexpr const char* kInterface = "net.corvelle.Ostrel5";
constexpr const char* kMember = "Message";
constexpr const char* kSignature = "sssay";

// Each participant owns one well-known name under this prefix; see ParticipantName.
constexpr const char* kParticipantPrefix = "net.corvelle.Ostrel5.P";

// Read-only properties AppId and AppVersion of every participant, on kObjectPath. Peers
// read them for participants whose well-known name cannot hold both texts.
constexpr const char* kParticipantInterface = "net.corvelle.Ostrel5.Participant";

// Largest message content that Send accepts: the byte lengths of the type, the sender's
// application id and version and the payload, added up. The project's bus refuses
// messages over 1 MiB (and drops the connection that sends one); this leaves room for
// the header, padding and a destination name of up to 255 bytes.
constexpr size_t kMaxContentBytes = 1000000;

// The bus address variable that the library reads before falling back to the session bus.
constexpr const char* kAddressVariable = "OSTREL_BUS_ADDRESS";

// D-Bus texts must be valid UTF-8 without NUL bytes.
bool isValidUtf8(const std::string& text);

}  // namespace wire
}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_WIRE_H
