// Finds the vormel program for the front end: an explicit override, the
// program beside the front end, or the installed one.
#include "vormel_location.h"

#include <unistd.h>

#include <cstdlib>

namespace {

bool isExecutable(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// The directory of the running front end, from the kernel rather than argv[0]
// (the spooler sets argv[0] to the queue name).
std::string ownDirectory() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  std::string text(path);
  const size_t slash = text.rfind('/');
  return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

}  // namespace

std::string locateProgram(const char* name, const char* overrideVariable,
                          const char* installedPath) {
  const char* forced = getenv(overrideVariable);
  if (forced != nullptr && forced[0] != '\0')
    return isExecutable(forced) ? std::string(forced) : std::string();

  const std::string dir = ownDirectory();
  const std::string beside = dir + "/" + name;
  if (!dir.empty() && isExecutable(beside)) return beside;
  if (isExecutable(installedPath)) return installedPath;
  return std::string();
}

std::string locateVormel(const char* installedPath) {
  return locateProgram("vormel", "VORMEL_CUPS_PROGRAM", installedPath);
}
