// Runs a fuzz target over saved inputs without libFuzzer. The normal suite runs each
// target this way over its seed corpus and its regression inputs, built with the normal
// build's compiler. A broken invariant aborts.
#include "replay.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace corvelle_fuzz {

int replayInputs(int argc, char** argv, TestOneInput test) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    if (std::filesystem::is_directory(path)) {
      std::vector<std::string> inFolder;
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
          inFolder.push_back(entry.path().string());
        }
      }
      std::sort(inFolder.begin(), inFolder.end());
      files.insert(files.end(), inFolder.begin(), inFolder.end());
    } else if (std::filesystem::is_regular_file(path)) {
      files.push_back(path);
    }
  }
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    test(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return files.empty() ? 1 : 0;
}

}  // namespace corvelle_fuzz
