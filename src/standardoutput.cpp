#include "standardoutput.h"

#if defined(_WIN32)
#include <windows.h>

#include <streambuf>
#else
#include <iostream>
#endif

namespace corvelle {

#if defined(_WIN32)

namespace {

// A stream buffer without a buffer: every character run is written at once to the
// standard output handle of the moment. A write that fails (no standard output, a closed
// pipe) loses those bytes but reports them written, so that the stream stays good and
// the next line is tried again; logging never fails its caller.
class StandardHandleBuffer : public std::streambuf {
 protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    std::streamsize left = size;
    while (left > 0 && handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) break;
      data += written;
      left -= written;
    }
    return size;
  }

  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
    return c;
  }
};

}  // namespace

std::ostream& standardOutput() {
  static StandardHandleBuffer* buffer = new StandardHandleBuffer();
  static std::ostream* stream = new std::ostream(buffer);
  return *stream;
}

#else

std::ostream& standardOutput() {
  return std::cout;
}

#endif

}  // namespace corvelle
