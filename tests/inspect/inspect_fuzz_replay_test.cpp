// Replays the committed fuzz corpus through the fuzz target, and a fixed set
// of truncations and byte changes of every corpus file, so that the readers'
// handling of hostile input is checked on every test run (under the
// sanitizers in a -DVORMEL_SANITIZE=ON build).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "stream_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> corpusFiles() {
  std::vector<std::string> files;
  const std::string dir = VORMEL_INSPECT_CORPUS;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(InspectFuzzReplay, corpus_and_its_mutations_run_cleanly) {
  const std::vector<std::string> files = corpusFiles();
  ASSERT_GE(files.size(), 5u);
  std::mt19937 rng(2024);
  for (const std::string& file : files) {
    const std::vector<uint8_t> input = readFileBytes(file);
    SCOPED_TRACE(file);
    // Exactly sized copies, so that the sanitizers see any read past the end.
    LLVMFuzzerTestOneInput(input.data(), input.size());
    for (int i = 0; i < 300 && !input.empty(); ++i) {
      std::vector<uint8_t> m = input;
      switch (i % 3) {
        case 0:
          m.resize(rng() % m.size());
          break;
        case 1:
          m[rng() % m.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
          break;
        default:
          m.insert(m.begin() + static_cast<std::ptrdiff_t>(rng() % m.size()),
                   static_cast<uint8_t>(rng()));
      }
      LLVMFuzzerTestOneInput(m.data(), m.size());
    }
  }
}

}  // namespace
