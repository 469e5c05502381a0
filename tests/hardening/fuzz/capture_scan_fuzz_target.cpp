// Fuzz target for the job capture and its scans. The first input byte picks
// where the job starts relative to the capture's 256 KiB read chunks (so that
// lines and markers are cut by a chunk boundary), the rest is the job. The job
// is captured twice, from a regular file (copied in the kernel) and from a
// stream (read chunk by chunk), and also scanned line by line with the
// one-line scans. All three must find the same page geometry, and both copies
// must be the job itself plus a line feed when its last line lacks one.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/job_capture.h"
#include "driver/line_scanner.h"
#include "driver/raw_job.h"
#include "fuzz_check.h"
#include "state/job_settings.h"

namespace {

struct Geometry {
  int32_t wid, len, x, y;
  bool operator==(const Geometry& o) const {
    return wid == o.wid && len == o.len && x == o.x && y == o.y;
  }
};

Geometry current() { return Geometry{pageWid, pageLen, xRes, yRes}; }

std::string readAll(int fd) {
  std::string bytes;
  char buffer[65536];
  off_t at = 0;
  ssize_t n;
  while ((n = pread(fd, buffer, sizeof buffer, at)) > 0) {
    bytes.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return bytes;
}

// Captures `job` from `in`; returns the copy and leaves the geometry set.
std::string capture(FILE* in) {
  const int fd = memfd_create("capture", 0);
  FUZZ_CHECK(fd >= 0);
  const int keep = dup(fd);
  saveFile = fdopen(fd, "w");
  FUZZ_CHECK(saveFile != nullptr);
  captureJob(in);
  FUZZ_CHECK(saveFile == nullptr);
  const std::string copy = readAll(keep);
  close(keep);
  return copy;
}

}  // namespace

int fuzzCaptureScan(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string job;
  const uint8_t placing = data[0];
  if (placing >= 128) {
    // Start the job a few bytes before the first chunk boundary, on one long
    // line of filler or after a filler line.
    const size_t before = placing % 64;
    job.assign(256 * 1024 - before, 'x');
    if (placing & 64) job.back() = '\n';
  }
  job.append(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string expected = job.empty() || job.back() == '\n' ? job : job + "\n";

  // Line by line with the one-line scans.
  resetJobSettings();
  size_t start = 0;
  while (start < job.size()) {
    size_t end = job.find('\n', start);
    if (end == std::string::npos) end = job.size();
    const std::string line = job.substr(start, end - start);
    scanBoundingBox(line);
    scanResolution(line);
    start = end + 1;
  }
  const Geometry byLine = current();

  // From a regular file.
  resetJobSettings();
  const int jobFd = memfd_create("job", 0);
  FUZZ_CHECK(jobFd >= 0);
  FUZZ_CHECK(write(jobFd, job.data(), job.size()) == static_cast<ssize_t>(job.size()));
  lseek(jobFd, 0, SEEK_SET);
  FILE* file = fdopen(jobFd, "r");
  const std::string fileCopy = capture(file);
  fclose(file);
  const Geometry fromFile = current();

  // From a stream without a descriptor.
  resetJobSettings();
  FILE* stream = job.empty() ? fopen("/dev/null", "r")
                             : fmemopen(const_cast<char*>(job.data()), job.size(), "r");
  FUZZ_CHECK(stream != nullptr);
  const std::string streamCopy = capture(stream);
  fclose(stream);
  const Geometry fromStream = current();

  FUZZ_CHECK(fileCopy == expected);
  FUZZ_CHECK(streamCopy == expected);
  FUZZ_CHECK(fromFile == byLine);
  FUZZ_CHECK(fromStream == byLine);
  return 0;
}

#ifdef VORMEL_FUZZ_MAIN
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzCaptureScan(data, size);
}
#endif
