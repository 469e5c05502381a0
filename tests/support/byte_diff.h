// The one byte comparison of the tests: where two byte strings first differ
// and the bytes around that place, in hex.
#pragma once

#include <string>

// "" when equal; else both sizes, the offset of the first difference and a
// hex window of 16 bytes either side of it in each, the differing byte in
// brackets.
std::string describeDifference(const std::string& expected, const std::string& actual);
