// Option words of the command line into the job settings, and the decimal
// conversion used for option values and for numbers found in the job.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads argv[1..argc-1] into the job settings. Never fails, prints nothing;
// unknown words are ignored. A word that fills a pending value is still
// compared with the option words afterwards, so "-dir -raw" stores the text
// "-raw" and also turns raw mode on.
void parseOptions(int argc, char** argv);

// Decimal conversion with the rules of atoi: optional leading white space,
// an optional sign, then decimal digits up to the first other character; 0
// when there are no digits. Out-of-range values saturate at INT32_MIN /
// INT32_MAX, so that 32-bit and 64-bit builds give the same result.
//
// AtoiState converts text fed one character at a time (for numbers inside
// lines too long to hold); atoiText converts a whole piece of text.
struct AtoiState {
  int phase = 0;  // 0 white space, 1 after sign, 2 digits, 3 finished
  bool negative = false;
  int64_t magnitude = 0;  // capped just above INT32_MAX's magnitude
};
void atoiFeed(AtoiState& state, char c);
int32_t atoiResult(const AtoiState& state);
int32_t atoiText(const char* text, size_t length);
