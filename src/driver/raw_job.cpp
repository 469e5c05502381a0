// Raw mode: the job text goes to the printer itself, every line ended by CR
// LF, instead of being rendered. The job is kept in an unlinked spill file
// while it is captured, and sent back from there.
#include "driver/raw_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "diagnostics/error_log.h"
#include "driver/write_all.h"
#include "state/job_settings.h"
#include "state/printer_output.h"

namespace {

constexpr size_t kChunkSize = 256 * 1024;

// The spill file, and whether a write to it failed (then no damaged job is
// sent).
int spillFd = -1;
bool spillFailed = false;

// An anonymous file in the work directory, else in "/tmp"; readable by the
// owner only and gone as soon as it is closed.
int openSpillFile() {
  const std::string dirs[] = {dirLoc, "/tmp"};
  for (const std::string& dir : dirs) {
    if (dir.empty()) continue;
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC | O_LARGEFILE, 0600);
    if (fd >= 0) return fd;
    std::string path = dir + "/vdqspill_XXXXXX";
    fd = mkostemp(&path[0], O_CLOEXEC | O_LARGEFILE);
    if (fd >= 0) {
      unlink(path.c_str());
      return fd;
    }
  }
  return -1;
}

// Writes kept job text to standard output with every line feed turned into
// CR LF; `out` has room for twice `n` bytes.
bool sendAsCrLfLines(const char* data, size_t n, char* out) {
  size_t o = 0;
  const char* end = data + n;
  while (data < end) {
    const char* lf = static_cast<const char*>(memchr(data, '\n', end - data));
    const size_t span = lf ? static_cast<size_t>(lf - data) : static_cast<size_t>(end - data);
    memcpy(out + o, data, span);
    o += span;
    data += span;
    if (lf != nullptr) {
      out[o++] = '\r';
      out[o++] = '\n';
      ++data;
    }
  }
  return printerWrite(out, o) == 0;
}

}  // namespace

void startRawSpill() {
  if (spillFd >= 0) close(spillFd);
  spillFd = openSpillFile();
  spillFailed = false;
}

void keepForRaw(const char* data, size_t n) {
  if (spillFd >= 0 && !spillFailed && !writeAll(spillFd, data, n)) spillFailed = true;
}

int sendRawJob() {
  if (spillFd < 0 || spillFailed) {
    reportJobError("the job could not be kept for sending in raw mode");
    return 1;
  }
  static char chunk[kChunkSize];
  static char out[2 * kChunkSize];
  // Read back in order; no offsets, so 32-bit builds handle jobs past 2 GiB.
  bool ok = lseek(spillFd, 0, SEEK_SET) == 0;
  ssize_t n;
  while (ok && (n = read(spillFd, chunk, sizeof chunk)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    ok = sendAsCrLfLines(chunk, static_cast<size_t>(n), out);
  }
  close(spillFd);
  spillFd = -1;
  if (ok) ok = printerWrite("\n", 1) == 0;
  if (printerFlush() != 0) ok = false;
  if (!ok) {
    reportJobError("the job could not be sent: " +
                   (printerFailed() ? printerFailureText() : "cannot read it back"));
    return 1;
  }
  return 0;
}
