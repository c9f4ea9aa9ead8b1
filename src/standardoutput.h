// The process's standard output as a C++ stream, where the module writes its diagnostic
// lines.
//
// On Linux it is std::cout. On Windows the C runtime's standard output is in text mode
// when the process was started directly (from a console or with its output sent to a
// file), and would write each line feed as CR LF; only a libuv parent hands its child
// standard handles that the runtime treats as binary. So on Windows the stream writes its
// bytes unchanged to the process's standard output handle, and a line ends in a line feed
// whatever started the process.
//
// Threads: used from any thread. The Windows stream keeps no buffer: each write goes
// straight to the standard output handle, so the only state that threads share is the
// stream object itself, as with std::cout; writes of different threads may interleave.
//
// Ownership: the stream is made on first use and never destroyed, since library threads
// may still write while the process exits.
#ifndef CORVELLE_STANDARDOUTPUT_H
#define CORVELLE_STANDARDOUTPUT_H

#include <ostream>

namespace corvelle {

std::ostream& standardOutput();

}  // namespace corvelle

#endif  // CORVELLE_STANDARDOUTPUT_H
