// Replays saved inputs through a fuzz target without libFuzzer (see replay.cpp).
#ifndef CORVELLE_FUZZ_REPLAY_H
#define CORVELLE_FUZZ_REPLAY_H

#include <cstddef>
#include <cstdint>

namespace corvelle_fuzz {

using TestOneInput = int (*)(const uint8_t* data, size_t size);

// Runs `test` over every file named in argv[1..] and every file in each folder named there
// (sorted, dot files skipped). Answers 0, or 1 when there was no input at all.
int replayInputs(int argc, char** argv, TestOneInput test);

}  // namespace corvelle_fuzz

#endif  // CORVELLE_FUZZ_REPLAY_H
