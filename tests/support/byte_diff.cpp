// Byte comparison with the offset and a hex window; see byte_diff.h.
#include "byte_diff.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string hexWindow(const std::string& s, size_t at) {
  const size_t from = at >= 16 ? at - 16 : 0;
  const size_t to = std::min(s.size(), at + 16);
  std::string text;
  char cell[4];
  for (size_t i = from; i < to; ++i) {
    snprintf(cell, sizeof cell, i == at ? "[%02x" : " %02x", static_cast<unsigned char>(s[i]));
    text += cell;
    if (i == at) text += "]";
  }
  return text;
}

}  // namespace

std::string describeDifference(const std::string& expected, const std::string& actual) {
  if (expected == actual) return "";
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return "sizes " + std::to_string(expected.size()) + " and " + std::to_string(actual.size()) +
         ", first difference at offset " + std::to_string(at) +
         "\n  expected:" + hexWindow(expected, at) + "\n  actual:  " + hexWindow(actual, at);
}

std::string describeDifference(const std::vector<uint8_t>& expected,
                               const std::vector<uint8_t>& actual) {
  return describeDifference(std::string(expected.begin(), expected.end()),
                            std::string(actual.begin(), actual.end()));
}
