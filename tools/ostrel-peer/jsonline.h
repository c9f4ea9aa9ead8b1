// Builds one JSON object on one line: the output format of ostrel-peer.
//
// Texts that are valid UTF-8 become JSON strings; a payload that is not valid UTF-8 is
// written as hex digits under a key of its own, so that no byte is lost. Not thread-safe:
// one line is built by one thread.
#ifndef OSTREL_PEER_JSONLINE_H
#define OSTREL_PEER_JSONLINE_H

#include <string>

namespace ostrel_peer {

class JsonLine {
 public:
  JsonLine& text(const std::string& key, const std::string& value);
  JsonLine& number(const std::string& key, long long value);
  // `key` for valid UTF-8, else `key` + "Hex" with two lower-case hex digits a byte.
  JsonLine& bytes(const std::string& key, const std::string& value);
  // The object, without a line end.
  std::string str() const { return "{" + body_ + "}"; }

  static std::string quote(const std::string& text);

 private:
  void comma();
  std::string body_;
};

}  // namespace ostrel_peer

#endif  // OSTREL_PEER_JSONLINE_H
