// PNG output through libpng. libpng reports errors by jumping back to the
// setjmp point, so everything that must be released is created before it.
#include "inspect/png_writer.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "inspect/printable_text.h"

namespace {

// The libpng part alone, with no C++ object living across the setjmp point:
// a longjmp back into a frame holding strings may leave them clobbered.
// `line` holds one scan line, `row` one PNG row; returns 0, or -1 when libpng
// failed, or 1 when the scan lines did not decode (with `message`).
int writeRows(FILE* file, const PcxImage& image, PcxScan* scan, uint8_t* line, uint8_t* row,
              size_t rowBytes, std::string* message) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, nullptr);
    return -1;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return -1;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (image.xDpi > 0 && image.yDpi > 0) {
    // pixels per metre, rounded
    png_set_pHYs(png, info, static_cast<png_uint_32>(image.xDpi * 10000 / 254),
                 static_cast<png_uint_32>(image.yDpi * 10000 / 254), PNG_RESOLUTION_METER);
  }
  png_write_info(png, info);
  const uint8_t flip = image.oneIsWhite ? 0x00 : 0xFF;
  for (int32_t y = 0; y < image.height; ++y) {
    if (!nextPcxLine(scan, line, message)) {
      png_destroy_write_struct(&png, &info);
      return 1;
    }
    for (size_t i = 0; i < rowBytes; ++i) row[i] = line[i] ^ flip;
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return 0;
}

}  // namespace

bool writePng(const std::string& path, const PcxImage& image, const uint8_t* data, size_t size,
              std::string* message) {
  const size_t rowBytes = (static_cast<size_t>(image.width) + 7) / 8;
  std::string tooLarge;
  if (!pcxWithinLimits(image, &tooLarge)) {
    *message = "cannot picture " + printableText(path) + ": " + tooLarge;
    return false;
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    *message = "cannot create " + printableText(path) + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> line(static_cast<size_t>(image.bytesPerLine));
  std::vector<uint8_t> row(rowBytes);
  PcxScan scan = startPcxScan(data, size, image);
  std::string scanError;
  const int written = writeRows(file, image, &scan, line.data(), row.data(), rowBytes, &scanError);
  if (written != 0) {
    std::fclose(file);
    *message = "cannot write " + printableText(path) + (written > 0 ? ": " + scanError : "");
    return false;
  }
  if (std::fclose(file) != 0) {
    *message = "cannot write " + printableText(path) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
