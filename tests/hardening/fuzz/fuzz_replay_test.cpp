// Replays the committed corpora of the option-word and capture fuzz targets,
// and a fixed set of truncations and byte changes of every file, on every
// test run (under the sanitizers in a -DVORMEL_SANITIZE=ON build). A broken
// property aborts the test binary, which fails the test.
#include "fuzz_replay.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

int fuzzOptionWords(const uint8_t* data, size_t size);
int fuzzCaptureScan(const uint8_t* data, size_t size);

namespace {

std::vector<std::vector<uint8_t>> corpus(const std::string& name) {
  const std::vector<std::string> files = corpusFiles(std::string(VORMEL_FUZZ_CORPUS) + "/" + name);
  std::vector<std::vector<uint8_t>> inputs;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return inputs;
}

void replay(const std::vector<std::vector<uint8_t>>& inputs, int (*target)(const uint8_t*, size_t),
            int mutations) {
  std::mt19937 rng(8);
  for (const std::vector<uint8_t>& input : inputs) replayMutations(input, target, mutations, rng);
}

TEST(HardeningFuzzReplay, option_word_corpus_and_its_mutations_keep_every_property) {
  const auto inputs = corpus("option_words");
  ASSERT_GE(inputs.size(), 5u);
  replay(inputs, fuzzOptionWords, 300);
}

TEST(HardeningFuzzReplay, capture_corpus_and_its_mutations_keep_every_property) {
  const auto inputs = corpus("capture_scan");
  ASSERT_GE(inputs.size(), 5u);
  replay(inputs, fuzzCaptureScan, 40);
}

}  // namespace
