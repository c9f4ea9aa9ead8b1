// The one place where the addon waits. Start-up pauses go through it so that a test
// build can link a version that records the pauses instead of waiting.
#ifndef CORVELLE_PLATFORMPAUSE_H
#define CORVELLE_PLATFORMPAUSE_H

namespace corvelle {

void platformPause(unsigned milliseconds);

}  // namespace corvelle

#endif  // CORVELLE_PLATFORMPAUSE_H
