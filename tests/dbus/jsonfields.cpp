#include "jsonfields.h"

#include <cctype>
#include <cstdlib>

namespace ostrel_dbus_test {
namespace {

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool object(JsonFields* fields) {
    if (!expect('{')) return false;
    skipSpace();
    if (peek() == '}') return ++pos_, atEnd();
    for (;;) {
      std::string key;
      std::string value;
      if (!string(&key) || !expect(':')) return false;
      skipSpace();
      if (peek() == '"') {
        if (!string(&value)) return false;
      } else if (!number(&value)) {
        return false;
      }
      (*fields)[key] = value;
      skipSpace();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      return expect('}') && atEnd();
    }
  }

 private:
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  bool expect(char c) {
    skipSpace();
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  bool atEnd() {
    skipSpace();
    return pos_ == text_.size();
  }
  bool number(std::string* out) {
    const size_t start = pos_;
    while (pos_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[pos_])) ||
                                   text_[pos_] == '-' || text_[pos_] == '.')) {
      ++pos_;
    }
    *out = text_.substr(start, pos_ - start);
    return pos_ > start;
  }
  bool string(std::string* out) {
    if (!expect('"')) return false;
    out->clear();
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          // The writer escapes only control characters this way.
          if (pos_ + 4 > text_.size()) return false;
          const long code = std::strtol(text_.substr(pos_, 4).c_str(), nullptr, 16);
          if (code > 0x7F) return false;
          *out += static_cast<char>(code);
          pos_ += 4;
          break;
        }
        default:
          *out += e;
      }
    }
    return false;
  }

  const std::string& text_;
  size_t pos_ = 0;
};

}  // namespace

bool parseJsonFields(const std::string& line, JsonFields* fields) {
  fields->clear();
  return Reader(line).object(fields);
}

}  // namespace ostrel_dbus_test
