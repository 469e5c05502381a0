// Appending to the job's text files (capture file, error log) safely.
#include "diagnostics/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE* openForAppend(const std::string& path) {
  // These files live in directories other users can write into: a link is
  // never followed, a FIFO never waited on, and only a regular file of this
  // user's own is written (another user's file planted at the name would
  // otherwise receive the job's text).
  const int fd =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    return nullptr;
  }
  fchmod(fd, 0600);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "a");
  if (file == nullptr) close(fd);
  return file;
}
