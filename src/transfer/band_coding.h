// Codes the bands of a page image and hands them over in page order. On a
// machine with cores to spare, helper threads code the next bands while the
// caller sends the current one; the bytes handed over are the same either way.
#pragma once

#include <cstdint>

// One band ready to go: the band itself and its coded form. codedLength is
// Encode's result: -1 when the band could not be coded, else the bytes at
// `coded` (which is not shorter than the band when coding saved nothing).
struct CodedBand {
  const unsigned char* band;
  int32_t length;
  const unsigned char* coded;
  int codedLength;
};

// Receives the bands in order; returns false to stop (no further band is
// handed over).
using BandSink = bool (*)(const CodedBand& band);

// Cuts `size` bytes at `image` into bands of at most `bandSize` bytes, codes
// each and hands it to `sink` in order, on the calling thread. The helpers
// only code; they never write anything. Returns when the last band was handed
// over or the sink said stop, with no helper still reading `image`. Returns
// false when memory for the coding could not be had (nothing handed over).
bool codeBands(const unsigned char* image, int32_t size, int32_t bandSize, BandSink sink);

// Offers the page expected next: `image` (malloc'ed, `size` bytes; taken
// over and freed here) is coded by the helpers whenever the page under way
// leaves them nothing to do. The next codeBands call on the same bytes with
// the same band size uses what was coded; a call on other bytes drops it. A
// page offered earlier and not yet taken is dropped. Does nothing but free
// `image` without helpers.
void codeAhead(unsigned char* image, int32_t size, int32_t bandSize);

// Drops a page offered by codeAhead and not taken (at the end of a job).
void dropReadAhead();

// Number of helper threads codeBands uses: the cores this process may run on
// beyond two (one for Ghostscript, one for the thread that sends), at most 3;
// none on one or two cores. VORMEL_CODER_THREADS=0..3 sets the number for
// tests and benchmarks. Decided once, at the first call.
int bandCodingHelpers();
// Sets the number of helpers (0..3) for the pages that follow; for tests.
void setBandCodingHelpers(int count);

// Whether helpers take part: there are some.
bool bandCodingHelpersAtWork();
