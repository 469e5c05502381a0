// Replays the committed fuzz corpus through the fuzz target, and a fixed set
// of truncations and byte changes of every corpus file, so that the readers'
// handling of hostile input is checked on every test run (under the
// sanitizers in a -DVORMEL_SANITIZE=ON build).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fuzz_replay.h"
#include "stream_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(InspectFuzzReplay, corpus_and_its_mutations_run_cleanly) {
  const std::vector<std::string> files = corpusFiles(VORMEL_INSPECT_CORPUS);
  ASSERT_GE(files.size(), 5u);
  std::mt19937 rng(2024);
  for (const std::string& file : files) {
    const std::vector<uint8_t> input = readFileBytes(file);
    SCOPED_TRACE(file);
    replayMutations(input, LLVMFuzzerTestOneInput, 300, rng);
  }
}

}  // namespace
