// Rendering and page discovery: builds the Ghostscript command for the capture
// file, runs gs directly (no shell, so nothing in the paths is ever
// interpreted) and counts the page images named after the run's base name.
#include "driver/render.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diagnostics/debug_blocks.h"
#include "driver/job_settings.h"

extern char** environ;

namespace {

// Exit status a shell reports when it cannot start a command.
constexpr int kNotStartedStatus = 127 << 8;

// The setpagedevice orientation for a rotation in degrees; any other value
// (the default -1 and 0 included) keeps the page upright.
int orientationFor(int32_t degrees) {
  switch (degrees) {
    case 90: return 1;
    case 180: return 2;
    case 270: return 3;
    default: return 0;
  }
}

std::string resolutionPiece() { return "-r" + std::to_string(xRes); }

std::string orientationProgram() {
  return "<< /Orientation " + std::to_string(orientationFor(rotateimage)) + " >> setpagedevice";
}

}  // namespace

std::string buildRenderCommand() {
  // The "%d" in the output pattern is Ghostscript's: it numbers pages from 1.
  return "gs -q -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop " + resolutionPiece() +
         " -sOutputFile=\"" + pTmpFname + "_%d\" -c \"" + orientationProgram() + "\" -f\"" +
         saveFname + "\" 2>/dev/null";
}

std::vector<std::string> buildRenderArguments() {
  return {"gs",
          "-q",
          "-sDEVICE=pcxmono",
          "-dNOPAUSE",
          "-dBATCH",
          "-dEPSCrop",
          resolutionPiece(),
          "-sOutputFile=" + pTmpFname + "_%d",
          "-c",
          orientationProgram(),
          "-f" + saveFname};
}

pid_t startRender() {
  if (bDebug)
    writeRenderCommandBlock(buildRenderCommand());

  const std::vector<std::string> args = buildRenderArguments();
  std::vector<char*> argv;
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // Ghostscript's error output is discarded, as the command text says. Its
  // standard output is discarded too: gs reports PostScript errors there, and
  // nothing but the job stream may reach the printer. The child is replaced
  // by gs (or ends) without running any of this process's code, so buffered
  // output is neither written twice nor flushed here: the printer stream may
  // already hold lines that must wait for the first page.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawnError = posix_spawnp(&pid, "gs", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawnError == 0 ? pid : -1;
}

int waitRender(pid_t pid) {
  if (pid <= 0)
    return kNotStartedStatus;
  int waitStatus = 0;
  pid_t done;
  do {
    done = waitpid(pid, &waitStatus, 0);
  } while (done == -1 && errno == EINTR);
  if (done == -1)
    return kNotStartedStatus;
  if (WIFEXITED(waitStatus))
    return WEXITSTATUS(waitStatus) << 8;
  if (WIFSIGNALED(waitStatus))
    return (128 + WTERMSIG(waitStatus)) << 8;
  return kNotStartedStatus;
}

int finishRender(pid_t pid) {
  const int status = waitRender(pid);
  if (bDebug)
    writeReturnCodeBlock(status);
  return status;
}

int renderJob() { return finishRender(startRender()); }

int searchDir(const std::string& dir, const std::string& prefix) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr)
    return 0;
  int count = 0;
  while (const struct dirent* entry = readdir(d)) {
    if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
      ++count;
  }
  closedir(d);
  return count;
}
