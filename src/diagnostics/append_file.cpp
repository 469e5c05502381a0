// Appending to the job's text files (capture file, error log) safely.
#include "diagnostics/append_file.h"

#include <fcntl.h>
#include <unistd.h>

FILE* openForAppend(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    return nullptr;
  FILE* file = fdopen(fd, "a");
  if (file == nullptr)
    close(fd);
  return file;
}
