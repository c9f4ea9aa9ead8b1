// The replay program of a plain fuzz target: replayInputs over the files and folders named
// on the command line.
#include "replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  return corvelle_fuzz::replayInputs(argc, argv, &LLVMFuzzerTestOneInput);
}
