// Writes monochrome PCX page images: the header, then each row inverted,
// padded and run-length coded.
#include "pcx_writer.h"

#include <cassert>
#include <vector>

namespace {

void putWord(uint8_t* at, int32_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

}  // namespace

int32_t pcxBytesPerRow(int32_t width) {
  const int32_t bytes = (width + 7) / 8;
  return bytes + (bytes & 1);
}

int writePcxHeader(FILE* out, int32_t width, int32_t height, int32_t dpi) {
  assert(width >= 1 && width <= 65535 && height >= 1 && height <= 65535);
  assert(dpi >= 1 && dpi <= 65535);
  uint8_t header[kPcxHeaderSize] = {};
  header[0] = 0x0A;  // manufacturer
  header[1] = 2;     // version
  header[2] = 1;     // run-length coding
  header[3] = 1;     // bits per dot
  putWord(header + 8, width - 1);
  putWord(header + 10, height - 1);
  putWord(header + 12, dpi);
  putWord(header + 14, dpi);
  // Two-colour palette: entry 0 black, entry 1 white.
  header[19] = header[20] = header[21] = 0xFF;
  header[65] = 1;  // planes
  putWord(header + 66, pcxBytesPerRow(width));
  putWord(header + 68, 2);
  return fwrite(header, 1, sizeof header, out) == sizeof header ? 0 : -1;
}

int writePcxRow(FILE* out, const uint8_t* blackBits, int32_t width) {
  const int32_t rowBytes = pcxBytesPerRow(width);
  const int32_t dataBytes = (width + 7) / 8;
  std::vector<uint8_t> row(rowBytes, 0);
  for (int32_t i = 0; i < dataBytes; ++i) row[i] = static_cast<uint8_t>(~blackBits[i]);
  // The dots past the width are clear bits; the byte that makes the row
  // even repeats the last byte of dots.
  if (width % 8 != 0) row[dataBytes - 1] &= static_cast<uint8_t>(0xFF << (8 - width % 8));
  if (rowBytes > dataBytes) row[rowBytes - 1] = row[dataBytes - 1];

  // Runs never cross the end of a row. A single byte below 0xC0 stands for
  // itself; everything else is a count byte and the value.
  std::vector<uint8_t> coded;
  coded.reserve(rowBytes * 2);
  for (int32_t i = 0; i < rowBytes;) {
    const uint8_t value = row[i];
    int32_t run = 1;
    while (i + run < rowBytes && run < kPcxLongestRun && row[i + run] == value) ++run;
    if (run == 1 && value < 0xC0) {
      coded.push_back(value);
    } else {
      coded.push_back(static_cast<uint8_t>(0xC0 | run));
      coded.push_back(value);
    }
    i += run;
  }
  return fwrite(coded.data(), 1, coded.size(), out) == coded.size() ? 0 : -1;
}
