// Watches one run of the filter from outside: starts the command given after
// the options with its standard output on a pipe, notes when the first byte
// and the first page ("REPEAT;1") arrive and when the stream ends, and samples
// the page images in the work directory (names ending in "_" + digits) every
// few milliseconds for their peak count and size. Used by streaming_bench.sh.
//
//   stream_probe WORKDIR OUTFILE command [args...]
//
// Prints: first_byte_s page1_s total_s peak_image_bytes peak_image_files exit
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSampleMs = 5;

bool isPageImage(const char* name) {
  const char* underscore = strrchr(name, '_');
  if (underscore == nullptr || underscore[1] == '\0') return false;
  return strspn(underscore + 1, "0123456789") == strlen(underscore + 1);
}

// Adds the size and number of page images in `dir` now; the page images of
// a job live in a directory of its own inside `dir`, looked into as well.
void addImages(const std::string& dir, int64_t* bytes, int* files, int depth) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    struct stat info;
    if (e->d_name[0] == '.' || fstatat(dirfd(d), e->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    if (S_ISDIR(info.st_mode) && depth == 0) {
      addImages(dir + "/" + e->d_name, bytes, files, 1);
    } else if (S_ISREG(info.st_mode) && isPageImage(e->d_name)) {
      *bytes += info.st_size;
      ++*files;
    }
  }
  closedir(d);
}

// Total size and number of page images under `dir` now.
void sampleImages(const std::string& dir, int64_t* bytes, int* files) {
  *bytes = 0;
  *files = 0;
  addImages(dir, bytes, files, 0);
}

double seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: stream_probe WORKDIR OUTFILE command [args...]\n");
    return 2;
  }
  const std::string workDir = argv[1];
  const int outFd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int pipeFds[2];
  if (outFd < 0 || pipe(pipeFds) != 0) return 2;

  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  close(pipeFds[1]);

  double firstByte = -1, firstPage = -1;
  int64_t peakBytes = 0;
  int peakFiles = 0;
  std::string tail;  // the last bytes, so a marker cut by a read is found
  static char buffer[1 << 16];
  Clock::time_point lastSample = start - std::chrono::milliseconds(kSampleMs);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now - lastSample >= std::chrono::milliseconds(kSampleMs)) {
      int64_t bytes = 0;
      int files = 0;
      sampleImages(workDir, &bytes, &files);
      if (bytes > peakBytes) peakBytes = bytes;
      if (files > peakFiles) peakFiles = files;
      lastSample = now;
    }
    struct pollfd p = {pipeFds[0], POLLIN, 0};
    if (poll(&p, 1, kSampleMs) <= 0) continue;
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    const Clock::time_point got = Clock::now();
    if (firstByte < 0) firstByte = seconds(start, got);
    if (firstPage < 0) {
      tail.append(buffer, static_cast<size_t>(n));
      if (tail.find("REPEAT;1\r\n") != std::string::npos)
        firstPage = seconds(start, got);
      else if (tail.size() > 16)
        tail.erase(0, tail.size() - 16);
    }
    if (write(outFd, buffer, static_cast<size_t>(n)) != n) return 2;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double total = seconds(start, Clock::now());
  close(outFd);
  printf("%.3f %.3f %.3f %lld %d %d\n", firstByte, firstPage, total,
         static_cast<long long>(peakBytes), peakFiles,
         WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}
