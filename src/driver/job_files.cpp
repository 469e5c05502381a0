// Job files: the temporary base path and its placeholder page image, the
// work directory, the capture directory and the capture file with its header
// comment. Called once by main after the options are read.
#include "driver/job_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diagnostics/debug_blocks.h"
#include "state/job_settings.h"

namespace {

// Names tried before giving up; with 62^6 names a clash is already rare.
constexpr int kNameTries = 100;
constexpr int kUniqueChars = 6;

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A directory that nobody but this user and root can change: owned by one of
// them and, when others may write into it, sticky (so that they cannot
// rename or remove what this job creates there).
bool isGuarded(const struct stat& st) {
  const bool ownerTrusted = st.st_uid == 0 || st.st_uid == geteuid();
  const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return S_ISDIR(st.st_mode) && ownerTrusted && (!othersWrite || (st.st_mode & S_ISVTX) != 0);
}

// Creates `path` for writing; fails when anything (a file, a link) is there.
// The job files hold the customer's job and live in world-writable
// directories: an existing file or a planted link must never be opened, and
// only the owner may read them.
int createExclusive(const std::string& path) {
  // O_NONBLOCK: should anything be there after all, opening it never waits.
  const int fd =
      open(path.c_str(),
           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_LARGEFILE, 0600);
  // The mode must not depend on the caller's umask either.
  if (fd >= 0) {
    fchmod(fd, 0600);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  return fd;
}

bool canOpenDirectory(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return false;
  closedir(dir);
  return true;
}

// Capture directory: a -dir value is kept only when a file can be created in
// it; otherwise the first directory of the fallback chain that opens.
void chooseCaptureDir() {
  if (debugDirLoc[0] != '\0' && (!isSafeDirectory(debugDirLoc) || !canCreateFileIn(debugDirLoc)))
    debugDirLoc[0] = '\0';
  if (debugDirLoc[0] != '\0') return;
  const char* chosen = "/var/spool/cups/tmp";  // last resort, taken unchecked
  if (canOpenDirectory("/tmp"))
    chosen = "/tmp";
  else if (canOpenDirectory("/var/tmp"))
    chosen = "/var/tmp";
  strcpy(debugDirLoc, chosen);
}

// "% ", a newline, "% " and one space before every argument, argument 0
// first. The line is left open on purpose: the first job line (or the debug
// block's leading newline) ends it. A line break inside an argument is written
// as a space, since it would end the comment and let the rest of the argument
// be run by Ghostscript as part of the job.
void writeHeader(int argc, char** argv) {
  fputs("% \n% ", saveFile);
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
    fputc(' ', saveFile);
    for (const char* c = argv[i]; *c != '\0'; ++c)
      fputc(*c == '\n' || *c == '\r' || *c == '\f' ? ' ' : *c, saveFile);
  }
}

}  // namespace

std::string (*baseNameSource)() = makeBaseName;

bool isSafeDirectory(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return false;
  // The directory itself and every directory above it: whoever may rename
  // one of them can put a directory of their own in its place.
  std::string at = real;
  free(real);
  for (;;) {
    struct stat st;
    if (lstat(at.c_str(), &st) != 0 || !isGuarded(st)) return false;
    if (at == "/") return true;
    const size_t slash = at.rfind('/');
    at = slash == 0 ? "/" : at.substr(0, slash);
  }
}

std::string chooseTempDir() {
  const char* env = secure_getenv("TMPDIR");
  if (env != nullptr && env[0] != '\0') {
    std::string dir = env;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (isDirectory(dir) && access(dir.c_str(), W_OK | X_OK) == 0 && isSafeDirectory(dir))
      return dir;
  }
  if (isDirectory(P_tmpdir)) return P_tmpdir;
  if (isDirectory("/tmp")) return "/tmp";
  return "";
}

std::string makeBaseName() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kUniqueChars];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No random source: mix clock, process number and a call counter.
    static uint32_t calls = 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t mix = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
                   (static_cast<uint64_t>(getpid()) << 40) ^ (++calls * 0x9E3779B97F4A7C15ull);
    for (unsigned char& b : bytes) {
      mix = mix * 6364136223846793005ull + 1442695040888963407ull;
      b = static_cast<unsigned char>(mix >> 56);
    }
  }
  std::string name = "vdq";
  for (const unsigned char b : bytes) name += kChars[b % (sizeof kChars - 1)];
  return name;
}

bool canCreateFileIn(const std::string& dir) {
  std::string probe = dir + "/vdqprobe_XXXXXX";
  const int fd = mkstemp(&probe[0]);
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  return true;
}

int makeJobFiles(int argc, char** argv) {
  const std::string tempDir = chooseTempDir();
  if (tempDir.empty()) return 1;
  chooseCaptureDir();

  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    const std::string base = baseNameSource();
    // The page images live in a directory of the job's own that only this
    // user can enter: nobody else can plant, read or swap a page there.
    const std::string jobDir = tempDir + "/" + base;
    if (mkdir(jobDir.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      break;
    }
    chmod(jobDir.c_str(), 0700);  // whatever the umask
    tmpDirLoc = tempDir;
    pTmpFname = jobDir + "/" + base;
    dirLoc = jobDir;
    const std::string placeholder = pTmpFname + "_1";
    const int placeholderFd = createExclusive(placeholder);
    // A failure goes unnoticed here: page counting finds no image.
    if (placeholderFd >= 0) close(placeholderFd);

    saveFname = std::string(debugDirLoc) + "/In_" + base + ".ps";
    const int saveFd = createExclusive(saveFname);
    if (saveFd < 0 && errno == EEXIST) {
      unlink(placeholder.c_str());
      rmdir(jobDir.c_str());
      continue;
    }
    saveFile = saveFd >= 0 ? fdopen(saveFd, "w") : nullptr;
    if (saveFile == nullptr) {
      if (saveFd >= 0) close(saveFd);
      return 0;  // the job goes on; what would have been captured is lost
    }
    writeHeader(argc, argv);
    if (bDebug) writeDirectoryBlock();
    return 0;
  }
  tmpDirLoc.clear();
  pTmpFname.clear();
  dirLoc.clear();
  saveFname = "/tmp";
  return 1;
}

void removeJobFiles() {
  if (!saveFname.empty() && saveFname != "/tmp") unlink(saveFname.c_str());
  if (dirLoc.empty()) return;
  // Everything in the job's own directory is the job's; names are collected
  // first, since removing entries while reading a directory may skip others.
  DIR* dir = opendir(dirLoc.c_str());
  if (dir != nullptr) {
    std::vector<std::string> names;
    while (const struct dirent* entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    }
    closedir(dir);
    for (const std::string& name : names) {
      const std::string path = dirLoc + "/" + name;
      if (unlink(path.c_str()) != 0) rmdir(path.c_str());
    }
  }
  rmdir(dirLoc.c_str());
}
