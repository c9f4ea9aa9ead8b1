#include "peeroptions.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace ostrel_peer {
namespace {

bool toNumber(const std::string& text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && *value >= 0;
}

bool toCount(const std::string& text, long* value) {
  char* end = nullptr;
  *value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && end != nullptr && *end == '\0' && *value >= 0;
}

bool readFile(const std::string& path, std::string* contents) {
  if (path == "-") {
    contents->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

std::string PeerOptionsParser::usage() {
  return R"(Usage: ostrel-peer --app APPID --app-version VERSION [OPTIONS]

Joins the Ostrel message bus as application APPID at VERSION, then lists endpoints,
sends one message, and prints what it receives, in that order, as asked.

The bus is the library's choice: OSTREL_BUS_ADDRESS, else the session bus when it
answers, else the per-user private bus. `ostrel-peer --which-bus` prints that choice
as {"address":..,"source":..,"reason":..} and exits.

Joining:
  --app APPID             application id to publish (required, not empty)
  --app-version VERSION   application version to publish (default: empty)
  --connect-timeout SEC   keep trying while the bus is not up yet (default: 10)
  --self                  print this participant's own endpoint first:
                          {"self":ID,"appId":..,"appVersion":..}

Listing:
  --list                  print every other endpoint, one line each:
                          {"endpoint":ID,"appId":..,"appVersion":..}

Sending:
  --send TYPE             send a message of TYPE; the prefix "ostrel.SuiteMessage." is
                          added unless TYPE already begins with it
  --payload TEXT          the message payload (default: empty)
  --payload-file PATH     read the payload from PATH ("-" for standard input)
  --to APPID              send to every endpoint of APPID (default: to everybody)
  --to-version VERSION    only the endpoints of APPID with this version
  --wait SEC              wait up to SEC for an endpoint of APPID to appear (default: 0)
  --repeat N              send the message N times (default: 1)

Receiving:
  --listen                print received messages until --count or --timeout
  --count N               stop after N received messages
  --timeout SEC           stop after SEC seconds
  --echo                  answer every application message with the same type and
                          payload, sent back to its source endpoint
  --quiet                 do not print received messages (with --echo or --count)

Each received message is one line:
  {"type":..,"appId":..,"appVersion":..,"source":..,"payload":..}
"appId" and "appVersion" are the sender's as the message carries them, "source" is the
sending endpoint's id. A payload that is not valid UTF-8 is given as "payloadHex".
Library notices (type "DestinationUnreachable", or the library's error type) have an
empty source and payload.

Exit status: 0 done; 1 bad command line; 2 --count not reached before --timeout;
3 could not join the bus, or lost it; 4 could not send (no endpoint of --to, refused message).
)";
}

bool PeerOptionsParser::parse(const std::vector<std::string>& arguments, PeerOptions* options,
                              std::string* error) {
  PeerOptions parsed;
  bool haveApp = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= arguments.size()) {
        *error = option + " needs a value";
        return false;
      }
      *out = arguments[++i];
      return true;
    };
    std::string text;
    if (option == "--app") {
      if (!value(&parsed.appId)) return false;
      haveApp = true;
    } else if (option == "--app-version") {
      if (!value(&parsed.appVersion)) return false;
    } else if (option == "--connect-timeout") {
      if (!value(&text) || !toNumber(text, &parsed.connectSeconds)) {
        *error = "--connect-timeout needs a number of seconds";
        return false;
      }
    } else if (option == "--self") {
      parsed.printSelf = true;
    } else if (option == "--list") {
      parsed.list = true;
    } else if (option == "--listen") {
      parsed.listen = true;
    } else if (option == "--echo") {
      parsed.echo = true;
    } else if (option == "--quiet") {
      parsed.quiet = true;
    } else if (option == "--send") {
      if (!value(&parsed.sendType)) return false;
      if (parsed.sendType.empty()) {
        *error = "--send needs a message type";
        return false;
      }
    } else if (option == "--payload") {
      if (!value(&parsed.payload)) return false;
    } else if (option == "--payload-file") {
      if (!value(&text)) return false;
      if (!readFile(text, &parsed.payload)) {
        *error = "cannot read " + text;
        return false;
      }
    } else if (option == "--to") {
      if (!value(&parsed.toAppId)) return false;
    } else if (option == "--to-version") {
      if (!value(&parsed.toVersion)) return false;
    } else if (option == "--wait") {
      if (!value(&text) || !toNumber(text, &parsed.waitSeconds)) {
        *error = "--wait needs a number of seconds";
        return false;
      }
    } else if (option == "--repeat") {
      if (!value(&text) || !toCount(text, &parsed.repeat)) {
        *error = "--repeat needs a count";
        return false;
      }
    } else if (option == "--count") {
      if (!value(&text) || !toCount(text, &parsed.count)) {
        *error = "--count needs a count";
        return false;
      }
    } else if (option == "--timeout") {
      if (!value(&text) || !toNumber(text, &parsed.timeoutSeconds)) {
        *error = "--timeout needs a number of seconds";
        return false;
      }
    } else {
      *error = "unknown option " + option;
      return false;
    }
  }
  if (!haveApp || parsed.appId.empty()) {
    *error = "--app is required and must not be empty";
    return false;
  }
  if (!parsed.toVersion.empty() && parsed.toAppId.empty()) {
    *error = "--to-version needs --to";
    return false;
  }
  if ((!parsed.toAppId.empty() || parsed.repeat != 1) && parsed.sendType.empty()) {
    *error = "--to and --repeat need --send";
    return false;
  }
  *options = std::move(parsed);
  return true;
}

}  // namespace ostrel_peer
