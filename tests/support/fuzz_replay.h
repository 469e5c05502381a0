// Replaying a committed fuzz corpus on every test run: the corpus files in a
// fixed order, and each input with a fixed set of truncations and byte
// changes, so that a fuzz target's properties are checked without a fuzzer
// (and under the sanitizers in a sanitizer build).
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

// The files of `dir` (not those whose names begin with '.'), sorted.
std::vector<std::string> corpusFiles(const std::string& dir);

// Runs `target` on `input`, then on `mutations` changed copies of it (a cut,
// a flipped byte, an inserted byte, in turn) drawn from `rng`. Every copy is
// exactly sized, so that the sanitizers see any read past its end.
void replayMutations(const std::vector<uint8_t>& input, int (*target)(const uint8_t*, size_t),
                     int mutations, std::mt19937& rng);
