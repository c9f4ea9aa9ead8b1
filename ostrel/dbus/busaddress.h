// Checks the form of a D-Bus server address before sd-bus sees it. sd-bus answers an
// address it cannot parse with "connection refused", which would make a typing mistake
// look like a bus that is not there yet and be retried for ever.
//
// Form: one or more entries separated by ';', each `transport:key=value,key=value`, values
// made of the unescaped characters [-0-9A-Za-z_/.\*] and %XX escapes. Transports that
// sd-bus can connect to: unix (with a non-empty path= or abstract=), tcp (host= and
// port=), unixexec (path=) and the x-machine-* forms.
//
// Stateless; safe from any thread.
#ifndef OSTREL_DBUS_BUSADDRESS_H
#define OSTREL_DBUS_BUSADDRESS_H

#include <string>
#include <vector>

namespace ostrel_dbus {

bool isUsableBusAddress(const std::string& address);

// `text` cut at every `separator` (an empty text gives one empty part).
std::vector<std::string> splitAt(const std::string& text, char separator);

// The address without its guid= keys. A guid names one run of a daemon, and sd-bus
// refuses a server whose guid differs; a bus restarted at the same address is a new run,
// so the library connects with the address alone.
std::string withoutGuid(const std::string& address);

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_BUSADDRESS_H
