// Rendering and page discovery: builds the Ghostscript command for the capture
// file, runs gs directly (no shell, so nothing in the paths is ever
// interpreted; found through PATH) and counts the page images named after the
// run's base name.
#include "driver/render.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "diagnostics/debug_blocks.h"
#include "driver/job_settings.h"

namespace {

// Exit code a shell gives for a command it cannot start.
constexpr int kNotStartedExit = 127;
static_assert(kRenderNotStarted == kNotStartedExit << 8, "the status a shell reports");
static_assert(kRenderPageTooLarge == (128 + SIGXFSZ) << 8, "the status of a gs killed by SIGXFSZ");

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

std::string renderTempDir() { return dirLoc + "/no-temp"; }

}  // namespace

std::string checkPageGeometry() {
  if (xRes > kMaxResolution)
    return "the job asks for " + std::to_string(xRes) + " dpi; at most " + std::to_string(kMaxResolution) +
           " dpi are rendered";
  if (pageWid > kMaxPageSide || pageLen > kMaxPageSide)
    return "the job's page of " + std::to_string(pageWid) + " x " + std::to_string(pageLen) +
           " points is larger than " + std::to_string(kMaxPageSide) + " points (40 inches) on a side";
  return "";
}

std::string buildRenderCommand() {
  // The "%d" in the output pattern is Ghostscript's: it numbers pages from 1.
  return "gs -q -dSAFER -sBandListStorage=memory -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop " + resolutionPiece() +
         " -sOutputFile=\"" + pTmpFname + "_%d\" -c \"" + orientationProgram() + "\" -f\"" +
         saveFname + "\" 2>/dev/null";
}

std::vector<std::string> buildRenderArguments() {
  return {"gs",
          "-q",
          "-dSAFER",
          "-sBandListStorage=memory",
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

  // In its safe mode Ghostscript lets a job read and write nothing but the
  // files of its command line, the output pattern and its temporary
  // directory. That directory is a name in the job's own directory that
  // does not exist, so a job can neither list, create, rename nor remove any
  // file but its own page images; the band list of a large page is kept in
  // memory instead.
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (strncmp(*variable, "TMPDIR=", 7) != 0 && strncmp(*variable, "TEMP=", 5) != 0 &&
        strncmp(*variable, "TMP=", 4) != 0)
      environment.push_back(*variable);
  }
  environment.push_back("TMPDIR=" + renderTempDir());
  std::vector<char*> envp;
  for (const std::string& variable : environment)
    envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);

  // Ghostscript's error output is discarded, as the command text says. Its
  // standard output is discarded too: gs reports PostScript errors there, and
  // nothing but the job stream may reach the printer. The child is replaced
  // by gs (or ends) without running any of this process's code, so buffered
  // output is neither written twice nor flushed here: the printer stream may
  // already hold lines that must wait for the first page.
  //
  // gs dies with this process: should the filter be killed outright (the
  // spooler's last resort), a gs it had paused would otherwise stay stopped
  // for good, and a running one would go on filling the work directory.
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0)
    return pid > 0 ? pid : -1;
  for (const int cancel : {SIGTERM, SIGINT, SIGHUP})
    signal(cancel, SIG_DFL);  // until exec, a cancel ends the child plainly
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent)
    _exit(kNotStartedExit);  // the filter is gone already
  const int devNull = open("/dev/null", O_WRONLY);
  if (devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0 || dup2(devNull, STDERR_FILENO) < 0)
    _exit(kNotStartedExit);
  if (devNull > STDERR_FILENO)
    close(devNull);
  // Page images are the customer's: nobody else may read them, whatever the
  // caller's umask. A page image that grows past the limit ends gs (SIGXFSZ),
  // and no core file is left behind.
  umask(077);
  const struct rlimit pageLimit = {kPageFileLimit, kPageFileLimit};
  const struct rlimit noCore = {0, 0};
  if (setrlimit(RLIMIT_FSIZE, &pageLimit) != 0 || setrlimit(RLIMIT_CORE, &noCore) != 0)
    _exit(kNotStartedExit);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvpe("gs", argv.data(), envp.data());
  _exit(kNotStartedExit);  // as a shell reports a command it cannot start
}

int waitRender(pid_t pid) {
  if (pid <= 0)
    return kRenderNotStarted;
  int waitStatus = 0;
  pid_t done;
  do {
    done = waitpid(pid, &waitStatus, 0);
  } while (done == -1 && errno == EINTR);
  if (done == -1)
    return kRenderNotStarted;
  if (WIFEXITED(waitStatus))
    return WEXITSTATUS(waitStatus) << 8;
  if (WIFSIGNALED(waitStatus))
    return (128 + WTERMSIG(waitStatus)) << 8;
  return kRenderNotStarted;
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
