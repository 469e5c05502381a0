// Job capture: copies standard input into the capture file in large chunks,
// has the line scanner look at every chunk, and in raw mode keeps the job for
// sending. Called by main after the job files exist.
#include "driver/job_capture.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/line_scanner.h"
#include "driver/options.h"
#include "driver/raw_job.h"
#include "driver/write_all.h"
#include "state/job_settings.h"

namespace {

constexpr size_t kChunkSize = 256 * 1024;  // read and written while still in cache
constexpr char kPdfMagic[] = "%PDF-";
constexpr size_t kPdfMagicLength = sizeof kPdfMagic - 1;

// The capture file's descriptor, written directly once the header is out:
// the chunks are large already, and stdio would split each into two writes.
int captureFd = -1;

// Set when a byte of the job did not reach the capture file (a full or failing
// disk): Ghostscript would render a job cut short.
bool captureWriteFailed = false;

// Writes to the capture file, remembering a failure.
void writeCapture(const char* data, size_t n) {
  if (!writeAll(captureFd, data, n)) captureWriteFailed = true;
}

void copyOut(const char* data, size_t n) {
  if (captureFd >= 0) writeCapture(data, n);
  if (bRaw) keepForRaw(data, n);
}

// A job that arrives as a regular file (a spool file, a redirect) is copied
// into the capture file by the kernel, which saves copying every byte out of
// this process again; the bytes are still read once for the scans. Returns
// false, having copied nothing, when the input or the capture file does not
// allow that; the caller then copies through its own buffer. Once the kernel
// copy has begun, any failure falls back to writing from the buffer, so the
// capture copy is complete either way.
bool captureRegularFile(FILE* in, char* chunk, size_t chunkSize, bool* any, char* last) {
  const int inFd = fileno(in);
  struct stat info;
  if (bRaw || captureFd < 0 || inFd < 0 || fstat(inFd, &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  const int flags = fcntl(captureFd, F_GETFL);
  if (flags < 0 || (flags & O_APPEND) != 0) return false;
  bool kernelCopy = true;
  ssize_t n;
  while ((n = read(inFd, chunk, chunkSize)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // a read error ends the input like its end
    }
    const size_t length = static_cast<size_t>(n);
    if (kernelCopy) {
      // Copy the bytes just read, from their place in the input file.
      loff_t from = static_cast<loff_t>(lseek(inFd, 0, SEEK_CUR)) - n;
      size_t copied = 0;
      while (from >= 0 && copied < length) {
        const ssize_t c = copy_file_range(inFd, &from, captureFd, nullptr, length - copied, 0);
        if (c < 0 && errno == EINTR) continue;
        if (c <= 0) break;
        copied += static_cast<size_t>(c);
      }
      if (copied < length) {
        kernelCopy = false;
        writeCapture(chunk + copied, length - copied);
      }
    } else {
      writeCapture(chunk, length);
    }
    scanChunk(chunk, length);
    *any = true;
    *last = chunk[length - 1];
  }
  return true;
}

}  // namespace

int captureJob(FILE* in) {
  startScan();
  captureFd = -1;
  captureWriteFailed = false;
  if (bRaw) startRawSpill();

  // A regular file is looked at in place; from a pipe the first chunk is
  // read now and copied first below.
  static char chunk[kChunkSize];
  size_t n = 0;
  bool pdf = false;
  const int inFd = fileno(in);
  struct stat info;
  if (inFd >= 0 && fstat(inFd, &info) == 0 && S_ISREG(info.st_mode)) {
    char magic[kPdfMagicLength];
    const off_t at = lseek(inFd, 0, SEEK_CUR);
    pdf = at >= 0 && pread(inFd, magic, sizeof magic, at) == static_cast<ssize_t>(sizeof magic) &&
          memcmp(magic, kPdfMagic, sizeof magic) == 0;
  } else {
    n = fread(chunk, 1, sizeof chunk, in);
    pdf = n >= kPdfMagicLength && memcmp(chunk, kPdfMagic, kPdfMagicLength) == 0;
  }

  if (saveFile != nullptr) {
    // Ghostscript reads a file as PDF only when it begins with the PDF
    // header: a PDF job is captured alone, without the comment header (and
    // directory block) written before its first bytes were known.
    if (pdf) {
      __fpurge(saveFile);
      if (ftruncate(fileno(saveFile), 0) != 0 || lseek(fileno(saveFile), 0, SEEK_SET) != 0)
        captureWriteFailed = true;
    }
    if (fflush(saveFile) != 0)
      captureWriteFailed = true;  // the header and any debug block go first
    captureFd = fileno(saveFile);
  }

  bool any = n > 0;
  char last = n > 0 ? chunk[n - 1] : '\n';
  if (n > 0) {
    copyOut(chunk, n);
    scanChunk(chunk, n);
  }
  const bool copiedByKernel = n == 0 && captureRegularFile(in, chunk, sizeof chunk, &any, &last);
  while (!copiedByKernel && (n = fread(chunk, 1, sizeof chunk, in)) > 0) {
    copyOut(chunk, n);
    scanChunk(chunk, n);
    any = true;
    last = chunk[n - 1];
  }
  // A last line without its line feed is still a line, and gets one.
  if (any && last != '\n') {
    copyOut("\n", 1);
    endScan();
  }

  if (saveFile != nullptr && fclose(saveFile) != 0) captureWriteFailed = true;
  saveFile = nullptr;
  captureFd = -1;
  return captureWriteFailed ? -1 : 0;
}
