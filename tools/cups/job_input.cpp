// Opens the job file given by the spooler. A directory, FIFO or device named
// there is not a job: reading it would feed vormel nothing (a blank label) or
// wait for a writer that never comes. Called by the front end's main.
#include "job_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

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
