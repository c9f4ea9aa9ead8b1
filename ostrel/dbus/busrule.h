// Which bus the library joins when it opens its connection:
//   1. OSTREL_BUS_ADDRESS when set (the module and its command hand their choice over here);
//   2. the session bus when it answers: DBUS_SESSION_BUS_ADDRESS, else the socket "bus" in
//      XDG_RUNTIME_DIR;
//   3. the per-user private bus that `corvelle start` (the service) runs:
//      $XDG_RUNTIME_DIR/corvelle/bus, else $TMPDIR/corvelle-<uid>/bus ($TMPDIR unset: /tmp).
// The package's script applies the same rule (lib/busrule.js, where an address given by
// the caller comes first); tests/js/busrule.test.js holds both to the same answers.
//
// Stateless; the environment and the check of the session bus are passed in, so that the
// rule is the same whichever thread asks. busAnswers blocks for at most its time limit
// per transport.
#ifndef OSTREL_DBUS_BUSRULE_H
#define OSTREL_DBUS_BUSRULE_H

#include <functional>
#include <string>

namespace ostrel_dbus {

struct BusChoice {
  std::string address;
  // "OSTREL_BUS_ADDRESS", "session bus" or "private bus".
  std::string source;
  // Why, in words.
  std::string reason;
};

// The value of a variable, or nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char* name)>;
// Whether a bus answers at the address; sets `why` when it does not.
using AnswerCheck = std::function<bool(const std::string& address, std::string* why)>;

BusChoice chooseBus(const EnvironmentLookup& environment, unsigned long uid,
                    const AnswerCheck& answers);

// The rule applied to this process's environment, user and session bus.
BusChoice chooseBusForProcess();

// A bus answers when one transport of the address replies to the opening of the D-Bus
// authentication (a NUL byte and "AUTH" without mechanism) within `timeoutMs`. An address
// with no transport that can be tried from here (unixexec, x-machine-*) counts as
// answering; one that cannot be read does not.
bool busAnswers(const std::string& address, int timeoutMs, std::string* why);

// How long one try at the session bus may take.
constexpr int kSessionProbeMs = 1000;

// "unix:path=" and the path with every byte outside [-0-9A-Za-z_/.\*] as %xx.
std::string unixPathAddress(const std::string& path);

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_BUSRULE_H
