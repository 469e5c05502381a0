// Page accounting for the relayed printer stream: a small incremental scanner
// over command lines and band data. Called by the relay loop for every chunk
// it writes to the printer.
#include "page_frames.h"

#include <cstdlib>
#include <cstring>

namespace {

// A band header announces how many bytes follow it: "BAND%d;COMP0" or
// "BAND%d;COMP1", ended by CR LF (or by LF alone for a raw page). Returns the
// count, or -1 when the line is not a band header.
int64_t bandDataLength(const char* line, size_t length) {
  if (length < 11 || strncmp(line, "BAND", 4) != 0) return -1;
  size_t i = 4;
  int64_t count = 0;
  while (i < length && line[i] >= '0' && line[i] <= '9' && count < (int64_t(1) << 40)) {
    count = count * 10 + (line[i] - '0');
    ++i;
  }
  if (i == 4 || i + 6 > length) return -1;
  if (strncmp(line + i, ";COMP0", 6) != 0 && strncmp(line + i, ";COMP1", 6) != 0) return -1;
  return count;
}

// Handles one complete line (without its line feed; a CR before it is kept
// in `line`). Returns true when the line ends a page.
bool takeLine(PageFrames& frames) {
  size_t length = frames.lineLength < kFrameLineKeep ? frames.lineLength : kFrameLineKeep;
  if (frames.lineLength > kFrameLineKeep) return false;  // no command of interest is this long
  if (length > 0 && frames.line[length - 1] == '\r') --length;
  if (length == 5 && memcmp(frames.line, "PRINT", 5) == 0) return true;
  const int64_t band = bandDataLength(frames.line, length);
  if (band > 0) frames.bandBytesLeft = band;
  return false;
}

}  // namespace

int checkStreamStart(const char* data, size_t length) {
  const size_t n = length < kStreamStartLength ? length : kStreamStartLength;
  if (memcmp(data, kStreamStart, n) != 0) return 0;
  return n == kStreamStartLength ? 1 : -1;
}

int32_t scanPageFrames(PageFrames& frames, const char* data, size_t length) {
  int32_t completed = 0;
  size_t i = 0;
  while (i < length) {
    // Band data: skip it whole, whatever bytes it holds.
    if (frames.bandBytesLeft > 0) {
      const size_t avail = length - i;
      const size_t skip =
          int64_t(avail) < frames.bandBytesLeft ? avail : size_t(frames.bandBytesLeft);
      frames.bandBytesLeft -= int64_t(skip);
      i += skip;
      continue;
    }
    const char c = data[i++];
    if (c == '\n') {
      if (takeLine(frames)) ++completed;
      frames.lineLength = 0;
      continue;
    }
    if (frames.lineLength < kFrameLineKeep) frames.line[frames.lineLength] = c;
    ++frames.lineLength;
  }
  frames.pagesDone += completed;
  return completed;
}
