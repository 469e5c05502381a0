// Reads the bands of a page image from its file, codes them and hands them
// over in page order. On a machine with cores to spare, helper threads read
// and code the next bands while the caller sends the current one; the bytes
// handed over are the same either way. Used by the page transfer.
#pragma once

#include <sys/stat.h>

#include <cstddef>
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

// A page image on its way from openPageBands to codeBands.
struct PageBands;

// Makes ready to code the page image open as `fd`, whose fstat is `info`
// (size 0 to 2^31 - 1), in bands of `bandSize` bytes. Every byte of memory
// the page needs is taken here, so that once the page has begun nothing can
// fail for want of it: at most 8 slots of 3 band sizes each (the band read
// from the file, then its coded form), whatever the page size. Returns
// nullptr when memory cannot be had. `fd` stays the caller's and must stay
// open until codeBands has returned.
PageBands* openPageBands(int fd, const struct stat& info, int32_t bandSize);

// Reads each band of `page` with pread, on whichever thread codes it, codes
// it and hands it to `sink` in page order on the calling thread; the helpers
// only read and code, they never write anything. Returns once the last band
// was handed over or the sink said stop, with no helper still at the page,
// and frees `page`. Returns true when every band handed over was read whole
// from the file; false when a read failed or ended early, in which case the
// missing bytes were coded and handed over as zeros.
bool codeBands(PageBands* page, BandSink sink);

// Reads up to `length` bytes of the file open as `fd` at `offset`; returns how
// many it gave (fewer at its end or on a read error).
int32_t readImageBytes(int fd, unsigned char* to, int32_t length, off_t offset);

// Memory for one page's transfer (coding slots, or the raw page mode's read
// buffer): malloc, or nullptr while tests make page memory fail.
void* allocatePageMemory(size_t bytes);
// Makes every allocatePageMemory call fail (true) or not; for tests.
void setPageMemoryFailing(bool failing);

// Number of helper threads codeBands uses: the cores this process may run on
// beyond two (one for Ghostscript, one for the thread that sends), at most 3;
// none on one or two cores. VORMEL_CODER_THREADS=0..3 sets the number for
// tests and benchmarks. Decided once, at the first call.
int bandCodingHelpers();
// Sets the number of helpers (0..3) for the pages that follow; for tests.
void setBandCodingHelpers(int count);
