// Page image transfer: the image file is sent byte for byte, never parsed,
// cut into bands that the band coder reads and compresses when that saves
// bytes. Called by the job stream once per page.
#include "transfer/page_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diagnostics/error_log.h"
#include "state/job_settings.h"
#include "state/printer_output.h"
#include "transfer/band_coding.h"

namespace {

// Raw page mode reads the image in pieces of this size.
constexpr int32_t kRawChunk = 2 * kBandSize;

// Whether the file gives its last byte. A file that cannot be read at all, or
// holds fewer bytes than its size says, is found out before anything is
// written.
bool lastByteReadable(int fd, int32_t size) {
  unsigned char byte;
  return size == 0 || readImageBytes(fd, &byte, 1, size - 1) == 1;
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
  return !printerFailed();
}

// Raw page mode: the whole image as one band, whose header line ends with a
// line feed only, read and written in pieces through `chunk` (kRawChunk
// bytes). Returns whether the file gave every byte; those it did not give go
// out as zeros.
bool sendRawPage(int fd, int32_t size, unsigned char* chunk) {
  printerPrintf("BAND%d;COMP0\n", size);
  bool whole = true;
  for (int32_t done = 0; done < size && !printerFailed();) {
    const int32_t length = size - done < kRawChunk ? size - done : kRawChunk;
    const int32_t got = readImageBytes(fd, chunk, length, done);
    if (got < length) {
      memset(chunk + got, 0, static_cast<size_t>(length - got));
      whole = false;
    }
    printerWrite(chunk, static_cast<size_t>(length));
    done += length;
  }
  printerFlush();
  return whole;
}

// Opens a page image for reading: never through a link, never waiting on a
// FIFO, and only a regular file; -1 otherwise.
int openPageImage(const char* path, struct stat* info) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return -1;
  if (fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

int outputFile(const char* path) {
  struct stat info;
  const int fd = openPageImage(path, &info);
  if (fd < 0) return kPageUnreadable;

  // The size travels as a 32-bit signed count: an image of 2^31 bytes or more
  // cannot be announced and is not sent.
  if (info.st_size < 0 || info.st_size > INT32_MAX ||
      !lastByteReadable(fd, static_cast<int32_t>(info.st_size))) {
    close(fd);
    return kPageUnreadable;
  }
  const int32_t size = static_cast<int32_t>(info.st_size);

  // Everything the page needs is taken before its first line goes out: after
  // "PCX<size>" the printer takes the next <size> bytes of image data, so a
  // page is either not begun or completed.
  unsigned char* chunk = nullptr;
  PageBands* bands = nullptr;
  if (PCXraw)
    chunk = static_cast<unsigned char*>(allocatePageMemory(kRawChunk));
  else
    bands = openPageBands(fd, info, kBandSize);
  if (chunk == nullptr && bands == nullptr) {
    close(fd);
    return kPageNoMemory;
  }

  printerPrintf("REPEAT;1\r\n");
  printerPrintf("PCX%d;ROW%d\r\n", size, 1);
  const bool whole = PCXraw ? sendRawPage(fd, size, chunk) : codeBands(bands, sendBand);
  free(chunk);
  close(fd);
  // ENDPCX ends with a line feed only.
  printerPrintf("ENDPCX\n");
  printerPrintf("PRINT\r\n");
  if (printerFailed()) return kPagePrinterFailed;
  // The frame is whole, but the file did not give the bytes announced: the
  // page is not counted as sent and its image stays for the caller.
  if (!whole) return kPageUnreadable;

  if (!bDebug && remove(path) != 0)
    logMsg(true, std::string("ERROR-1 ... unable to remove file [") + path + "]");
  return 0;
}
