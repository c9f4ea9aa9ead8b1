// What every fuzz target shares: the invariant check, and a reader that turns the fuzzer's
// bytes into the values a target needs.
//
// A failed check prints what broke and aborts, which libFuzzer reports as a crash and
// saves the input that caused it; the replay runner of the normal suite fails the same
// way. Not thread-safe: one input is read by one thread.
#ifndef CORVELLE_FUZZ_FUZZCHECK_H
#define CORVELLE_FUZZ_FUZZCHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, what)                                                         \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "fuzz invariant broken at %s:%d: %s (%s)\n", __FILE__, __LINE__, \
                   std::string(what).c_str(), #condition);                                  \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace corvelle_fuzz {

// Reads values from the front of the input; past its end every read answers zero or
// empty, so every input decodes to something.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return size_ - pos_; }

  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32); }
  bool flag() { return (byte() & 1) != 0; }

  // A text of up to `limit` bytes: one length byte (two when the first is 0xFF), then
  // that many bytes.
  std::string text(size_t limit = 255) {
    size_t length = byte();
    if (length == 0xFF) length = u16();
    if (length > limit) length = limit;
    return bytes(length);
  }
  std::string bytes(size_t length) {
    if (length > remaining()) length = remaining();
    std::string out(reinterpret_cast<const char*>(data_ + pos_), length);
    pos_ += length;
    return out;
  }
  std::string rest() { return bytes(remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace corvelle_fuzz

#endif  // CORVELLE_FUZZ_FUZZCHECK_H
