// The one byte comparison of the tests: where two byte strings first differ
// and the bytes around that place, in hex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// "" when equal; else both sizes, the offset of the first difference and a
// hex window of 16 bytes either side of it in each, the differing byte in
// brackets.
std::string describeDifference(const std::string& expected, const std::string& actual);
// The same for byte vectors (bands, coded streams).
std::string describeDifference(const std::vector<uint8_t>& expected,
                               const std::vector<uint8_t>& actual);
