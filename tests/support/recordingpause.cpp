// The pause of the test build of the module: instead of waiting, each pause is written
// into the in-process library's call record, in order with the library calls.
#include "ostrel_inproc/control.h"
#include "platformpause.h"

namespace corvelle {

void platformPause(unsigned milliseconds) {
  ostrel_inproc::recordPause(milliseconds);
}

}  // namespace corvelle
