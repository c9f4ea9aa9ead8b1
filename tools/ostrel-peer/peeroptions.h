// The command line of ostrel-peer. Parsing only; no bus is touched here.
#ifndef OSTREL_PEER_PEEROPTIONS_H
#define OSTREL_PEER_PEEROPTIONS_H

#include <string>
#include <vector>

namespace ostrel_peer {

struct PeerOptions {
  std::string appId;
  std::string appVersion;
  bool printSelf = false;
  bool list = false;
  bool listen = false;
  bool echo = false;
  bool quiet = false;
  std::string sendType;  // empty: nothing to send
  std::string payload;
  std::string toAppId;  // empty: broadcast
  std::string toVersion;
  long repeat = 1;
  double waitSeconds = 0;
  long count = -1;             // -1: no count
  double timeoutSeconds = -1;  // -1: no timeout
  double connectSeconds = 10;
};

class PeerOptionsParser {
 public:
  // False with a message in `error` for a command line that cannot be used.
  static bool parse(const std::vector<std::string>& arguments, PeerOptions* options,
                    std::string* error);
  static std::string usage();
};

}  // namespace ostrel_peer

#endif  // OSTREL_PEER_PEEROPTIONS_H
