// Page image transfer: the image file is sent byte for byte, never parsed,
// cut into bands that the band coder compresses when that saves bytes.
#include "transfer/page_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "diagnostics/error_log.h"
#include "driver/job_settings.h"
#include "transfer/band_coding.h"
#include "transfer/printer_output.h"

namespace {

// Reads exactly `size` bytes; false on a read error or an early end of file
// (a page is sent whole or not at all, never padded).
bool readWhole(int fd, unsigned char* buffer, int32_t size) {
  int32_t done = 0;
  while (done < size) {
    const ssize_t n = read(fd, buffer + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<int32_t>(n);
  }
  return true;
}

// One band: compressed when the coder saved at least one byte, else the band
// itself. The count in the header is the number of bytes that follow it.
bool sendBand(const CodedBand& band) {
  const int c = band.codedLength;
  if (c == -1 || c >= band.length) {
    printerPrintf("BAND%d;COMP0\r\n", band.length);
    printerWrite(band.band, static_cast<size_t>(band.length));
  } else {
    printerPrintf("BAND%d;COMP1\r\n", c);
    printerWrite(band.coded, static_cast<size_t>(c));
  }
  printerFlush();
  if (afterBand != nullptr)
    afterBand();
  return !printerFailed();
}

}  // namespace

void (*afterBand)() = nullptr;

void readAheadPage(const char* path) {
  // Pages read ahead are held in memory beside the page under way.
  constexpr off_t kReadAheadLimit = 8 << 20;
  if (PCXraw || !bandCodingHelpersAtWork())
    return;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return;
  struct stat info;
  unsigned char* image = nullptr;
  if (fstat(fd, &info) == 0 && info.st_size > 0 && info.st_size <= kReadAheadLimit)
    image = static_cast<unsigned char*>(malloc(static_cast<size_t>(info.st_size)));
  if (image != nullptr && readWhole(fd, image, static_cast<int32_t>(info.st_size))) {
    codeAhead(image, static_cast<int32_t>(info.st_size), kBandSize);
  } else {
    free(image);
  }
  close(fd);
}

int outputFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return kPageUnreadable;

  // The size travels as a 32-bit signed count: an image of 2^31 bytes or more
  // cannot be announced and is not sent.
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_size < 0 || info.st_size > INT32_MAX) {
    close(fd);
    return kPageUnreadable;
  }
  const int32_t size = static_cast<int32_t>(info.st_size);

  unsigned char* memblock = static_cast<unsigned char*>(calloc(size > 0 ? size : 1, 1));
  if (memblock != nullptr && !readWhole(fd, memblock, size)) {
    close(fd);
    free(memblock);
    return kPageUnreadable;
  }
  close(fd);

  printerPrintf("REPEAT;1\r\n");
  printerPrintf("PCX%d;ROW%d\r\n", size, 1);
  if (memblock == nullptr)
    return kPageNoMemory;

  if (PCXraw) {
    // Raw page mode: the whole image as one band; this header line ends with
    // a line feed only.
    printerPrintf("BAND%d;COMP0\n", size);
    printerWrite(memblock, static_cast<size_t>(size));
    printerFlush();
  } else if (!printerFailed() && !codeBands(memblock, size, kBandSize, sendBand)) {
    free(memblock);
    return kPageNoMemory;
  }
  free(memblock);

  // ENDPCX ends with a line feed only.
  printerPrintf("ENDPCX\n");
  printerPrintf("PRINT\r\n");
  if (printerFailed())
    return kPagePrinterFailed;

  if (!bDebug && remove(path) != 0)
    logMsg(true, std::string("ERROR-1 ... unable to remove file [") + path + "]");
  return 0;
}
