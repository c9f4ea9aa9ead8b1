// Reads the flat JSON objects that ostrel-peer prints, one a line, into a map from key
// to value text. Numbers are kept as their text. Enough for that output, not a general
// JSON reader.
#ifndef OSTREL_DBUS_TESTS_JSONFIELDS_H
#define OSTREL_DBUS_TESTS_JSONFIELDS_H

#include <map>
#include <string>

namespace ostrel_dbus_test {

using JsonFields = std::map<std::string, std::string>;

// False when `line` is not a flat object of strings and numbers.
bool parseJsonFields(const std::string& line, JsonFields* fields);

}  // namespace ostrel_dbus_test

#endif  // OSTREL_DBUS_TESTS_JSONFIELDS_H
