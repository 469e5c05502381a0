// Monochrome PCX reader. A byte with its two top bits set is a run count
// (low 6 bits) for the byte after it; any other byte stands for itself.
#include "inspect/pcx_reader.h"

namespace {

constexpr uint8_t kPcxMagic = 0x0A;
constexpr uint8_t kRunFlag = 0xC0;
constexpr size_t kMaxRun = 63;

uint16_t word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool fail(std::string* message, size_t offset, const std::string& text) {
  *message = "image byte " + std::to_string(offset) + ": " + text;
  return false;
}

}  // namespace

bool readPcx(const uint8_t* data, size_t size, PcxImage* image, std::string* message,
             bool decodePixels) {
  *image = PcxImage();
  if (size < kPcxHeaderSize)
    return fail(message, size,
                "image of " + std::to_string(size) + " bytes ends inside the 128-byte PCX header");
  if (data[0] != kPcxMagic)
    return fail(message, 0, "expected the PCX mark 0x0A, found " + std::to_string(data[0]));
  if (data[2] != 1)
    return fail(message, 2, "expected run-length coding (1), found " + std::to_string(data[2]));
  if (data[3] != 1 || data[65] != 1)
    return fail(message, 3,
                "only 1 bit per pixel in 1 plane is supported, found " +
                    std::to_string(data[3]) + " bits in " + std::to_string(data[65]) +
                    " planes");
  const int32_t xMin = word(data + 4), yMin = word(data + 6);
  const int32_t xMax = word(data + 8), yMax = word(data + 10);
  if (xMax < xMin || yMax < yMin)
    return fail(message, 4, "window " + std::to_string(xMin) + "," + std::to_string(yMin) +
                                "-" + std::to_string(xMax) + "," + std::to_string(yMax) +
                                " is empty");
  image->width = xMax - xMin + 1;
  image->height = yMax - yMin + 1;
  image->xDpi = word(data + 12);
  image->yDpi = word(data + 14);
  image->bytesPerLine = word(data + 66);
  if (image->bytesPerLine < (image->width + 7) / 8)
    return fail(message, 66,
                std::to_string(image->bytesPerLine) + " bytes per line cannot hold " +
                    std::to_string(image->width) + " pixels");

  // Palette entries 0 and 1 say which bit value is white; an unset palette
  // means the usual 1 = white.
  const uint8_t* pal = data + 16;
  const int light0 = pal[0] + pal[1] + pal[2];
  const int light1 = pal[3] + pal[4] + pal[5];
  image->oneIsWhite = !(light0 > light1);

  // Each 2 bytes of coded data give at most 63 bytes of lines: refuse a
  // header that asks for more than the data can hold before allocating.
  const uint64_t needed = static_cast<uint64_t>(image->bytesPerLine) *
                          static_cast<uint64_t>(image->height);
  const uint64_t available = static_cast<uint64_t>(size - kPcxHeaderSize);
  if (needed > available * kMaxRun / 2 + kMaxRun)
    return fail(message, kPcxHeaderSize,
                "header announces " + std::to_string(image->width) + " x " +
                    std::to_string(image->height) + " pixels, more than " +
                    std::to_string(available) + " bytes of image data can hold");

  std::vector<uint8_t> lines;
  if (decodePixels) lines.resize(static_cast<size_t>(needed));
  size_t in = kPcxHeaderSize;
  size_t out = 0;
  while (out < needed) {
    if (in >= size)
      return fail(message, in,
                  "image data ends after " + std::to_string(out) + " of " +
                      std::to_string(needed) + " bytes of scan lines");
    uint8_t b = data[in++];
    size_t run = 1;
    if ((b & kRunFlag) == kRunFlag) {
      run = b & kMaxRun;
      if (in >= size)
        return fail(message, in - 1, "run of " + std::to_string(run) + " has no byte to repeat");
      b = data[in++];
    }
    if (run > needed - out)
      return fail(message, in - 2, "run of " + std::to_string(run) + " bytes passes the last scan line");
    if (decodePixels)
      for (size_t i = 0; i < run; ++i) lines[out + i] = b;
    out += run;
  }
  image->dataBytes = in - kPcxHeaderSize;
  image->lines.swap(lines);
  return true;
}
