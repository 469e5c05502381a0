// Monochrome PCX reader. A byte with its two top bits set is a run count
// (low 6 bits) for the byte after it; any other byte stands for itself.
#include "inspect/pcx_reader.h"

#include <cstring>

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

bool readPcxHeader(const uint8_t* data, size_t size, PcxImage* image, std::string* message) {
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
                "only 1 bit per pixel in 1 plane is supported, found " + std::to_string(data[3]) +
                    " bits in " + std::to_string(data[65]) + " planes");
  const int32_t xMin = word(data + 4), yMin = word(data + 6);
  const int32_t xMax = word(data + 8), yMax = word(data + 10);
  if (xMax < xMin || yMax < yMin)
    return fail(message, 4,
                "window " + std::to_string(xMin) + "," + std::to_string(yMin) + "-" +
                    std::to_string(xMax) + "," + std::to_string(yMax) + " is empty");
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
  return true;
}

bool pcxWithinLimits(const PcxImage& image, std::string* message) {
  if (image.width <= kMaxPcxWidth && image.height <= kMaxPcxHeight &&
      image.bytesPerLine <= kMaxPcxLineBytes)
    return true;
  *message = "image of " + std::to_string(image.width) + " x " + std::to_string(image.height) +
             " dots in lines of " + std::to_string(image.bytesPerLine) +
             " bytes is larger than the largest page taken (" + std::to_string(kMaxPcxWidth) +
             " x " + std::to_string(kMaxPcxHeight) + " dots, " + std::to_string(kMaxPcxLineBytes) +
             " bytes per line)";
  return false;
}

PcxScan startPcxScan(const uint8_t* data, size_t size, const PcxImage& image) {
  PcxScan scan;
  scan.data = data;
  scan.size = size;
  scan.lineBytes = static_cast<size_t>(image.bytesPerLine);
  scan.total = scan.lineBytes * static_cast<size_t>(image.height);
  return scan;
}

bool nextPcxLine(PcxScan* scan, uint8_t* line, std::string* message) {
  size_t filled = 0;
  while (filled < scan->lineBytes) {
    if (scan->runLeft == 0) {
      if (scan->in >= scan->size)
        return fail(message, scan->in,
                    "image data ends after " + std::to_string(scan->out) + " of " +
                        std::to_string(scan->total) + " bytes of scan lines");
      uint8_t b = scan->data[scan->in++];
      size_t run = 1;
      if ((b & kRunFlag) == kRunFlag) {
        run = b & kMaxRun;
        if (scan->in >= scan->size)
          return fail(message, scan->in - 1,
                      "run of " + std::to_string(run) + " has no byte to repeat");
        b = scan->data[scan->in++];
      }
      if (run > scan->total - scan->out)
        return fail(message, scan->in - 2,
                    "run of " + std::to_string(run) + " bytes passes the last scan line");
      scan->runByte = b;
      scan->runLeft = run;
    }
    const size_t n =
        scan->runLeft < scan->lineBytes - filled ? scan->runLeft : scan->lineBytes - filled;
    if (line) std::memset(line + filled, scan->runByte, n);
    filled += n;
    scan->out += n;
    scan->runLeft -= n;
  }
  return true;
}

bool readPcx(const uint8_t* data, size_t size, PcxImage* image, std::string* message,
             bool decodePixels) {
  if (!readPcxHeader(data, size, image, message)) return false;
  std::string tooLarge;
  if (!pcxWithinLimits(*image, &tooLarge)) return fail(message, 4, tooLarge);

  // Each 2 bytes of coded data give at most 63 bytes of lines: refuse a
  // header that asks for more than the data can hold before allocating.
  const uint64_t needed =
      static_cast<uint64_t>(image->bytesPerLine) * static_cast<uint64_t>(image->height);
  const uint64_t available = static_cast<uint64_t>(size - kPcxHeaderSize);
  if (needed > available * kMaxRun / 2 + kMaxRun)
    return fail(message, kPcxHeaderSize,
                "header announces " + std::to_string(image->width) + " x " +
                    std::to_string(image->height) + " pixels, more than " +
                    std::to_string(available) + " bytes of image data can hold");

  std::vector<uint8_t> lines;
  if (decodePixels) lines.resize(static_cast<size_t>(needed));
  PcxScan scan = startPcxScan(data, size, *image);
  for (int32_t y = 0; y < image->height; ++y) {
    uint8_t* line = decodePixels ? lines.data() + static_cast<size_t>(y) * scan.lineBytes : nullptr;
    if (!nextPcxLine(&scan, line, message)) return false;
  }
  image->dataBytes = scan.in - kPcxHeaderSize;
  image->lines.swap(lines);
  return true;
}
