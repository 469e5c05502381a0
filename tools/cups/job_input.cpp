// Opens the job file given by the spooler. A directory, FIFO or device named
// there is not a job: reading it would feed vormel nothing (a blank label) or
// wait for a writer that never comes. Reads the job's first bytes, which say
// whether it is PDF. Called by the front end's main.
#include "job_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "relay_signals.h"

namespace {

// What every PDF file begins with.
constexpr char kPdfMagic[] = "%PDF-";
static_assert(sizeof kPdfMagic - 1 == kJobHeadLength, "the head is the PDF header");

const char* describeFileType(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

}  // namespace

int openJobFile(const char* path, std::string& problem) {
  // O_NONBLOCK: opening a FIFO without a writer would wait; the type is
  // checked on the open descriptor, so the name is never looked up twice.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    problem = std::string("cannot open the job file: ") + strerror(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    problem = std::string("cannot examine the job file: ") + strerror(errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    problem = std::string("the job file is ") + describeFileType(st.st_mode) + ", not a print job";
    close(fd);
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    problem = std::string("cannot set up the job file: ") + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

int readJobHead(int fd, int signalFd, std::string& head, std::string& problem) {
  // The spooler names only the job's original type (an image, text), not
  // the type that reaches this filter; the first bytes are all there is.
  head.clear();
  char bytes[kJobHeadLength];
  while (head.size() < kJobHeadLength) {
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      problem = std::string("cannot wait for the job: ") + strerror(errno);
      return -1;
    }
    if (fds[1].revents != 0 && drainRelaySignals(signalFd)) return 1;
    if (fds[0].revents == 0) continue;
    const ssize_t n = read(fd, bytes, kJobHeadLength - head.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      problem = std::string("reading the job failed: ") + strerror(errno);
      return -1;
    }
    if (n == 0) break;
    head.append(bytes, size_t(n));
  }
  return 0;
}

bool isPdfJob(const std::string& head) { return head == kPdfMagic; }
