// The one writer of bytes to standard output, used by the job stream, the page
// transfer and the messages that go to standard output. Every result of the
// standard I/O calls is checked; the first failure sticks.
#include "state/printer_output.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool failed = false;
std::string failureText;

int markFailed(int err) {
  if (!failed) {
    failed = true;
    failureText = err != 0 ? strerror(err) : "write error";
  }
  return -1;
}

}  // namespace

void guardPrinterOutput() {
  if (fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF) return;
  const int fd = open("/dev/null", O_RDONLY);
  if (fd >= 0 && fd != STDOUT_FILENO) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
}

int printerWrite(const void* data, size_t n) {
  if (failed) return -1;
  if (n == 0) return 0;
  errno = 0;
  if (fwrite(data, 1, n, stdout) != n) return markFailed(errno);
  return 0;
}

int printerPrintf(const char* format, ...) {
  if (failed) return -1;
  va_list args;
  va_start(args, format);
  errno = 0;
  const int n = vfprintf(stdout, format, args);
  va_end(args);
  if (n < 0) return markFailed(errno);
  return 0;
}

int printerFlush() {
  if (failed) return -1;
  errno = 0;
  if (fflush(stdout) != 0 || ferror(stdout)) return markFailed(errno);
  return 0;
}

bool printerFailed() { return failed; }

std::string printerFailureText() { return failureText; }

void resetPrinterOutput() {
  __fpurge(stdout);  // drop bytes a failed flush left behind
  clearerr(stdout);
  failed = false;
  failureText.clear();
}
