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
#include "state/job_settings.h"

namespace {

// Exit code a shell gives for a command it cannot start.
constexpr int kNotStartedExit = 127;
static_assert(kRenderNotStarted == kNotStartedExit << 8, "the status a shell reports");
static_assert(kRenderPageTooLarge == (128 + SIGXFSZ) << 8, "the status of a gs killed by SIGXFSZ");

// The setpagedevice orientation for a rotation in degrees; any other value
// (the default -1 and 0 included) keeps the page upright.
int orientationFor(int32_t degrees) {
  switch (degrees) {
    case 90:
      return 1;
    case 180:
      return 2;
    case 270:
      return 3;
    default:
      return 0;
  }
}

std::string resolutionPiece() { return "-r" + std::to_string(xRes); }

std::string orientationProgram() {
  return "<< /Orientation " + std::to_string(orientationFor(rotateimage)) + " >> setpagedevice";
}

std::string renderTempDir() { return dirLoc + "/no-temp"; }

std::string renderMessagesPath() { return dirLoc + "/gs-messages.txt"; }

// Longest message of Ghostscript's quoted in a job's error line.
constexpr size_t kQuotedMessage = 200;

}  // namespace

std::string checkPageGeometry() {
  if (xRes > kMaxResolution)
    return "the job asks for " + std::to_string(xRes) + " dpi; at most " +
           std::to_string(kMaxResolution) + " dpi are rendered";
  if (pageWid > kMaxPageSide || pageLen > kMaxPageSide)
    return "the job's page of " + std::to_string(pageWid) + " x " + std::to_string(pageLen) +
           " points is larger than " + std::to_string(kMaxPageSide) +
           " points (40 inches) on a side";
  return "";
}

std::string buildRenderCommand() {
  // The "%d" in the output pattern is Ghostscript's: it numbers pages from 1.
  return "gs -q -dSAFER -sBandListStorage=memory -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop " +
         resolutionPiece() + " -sOutputFile=\"" + pTmpFname + "_%d\" -c \"" + orientationProgram() +
         "\" -f\"" + saveFname + "\" 2>/dev/null";
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
  if (bDebug) writeRenderCommandBlock(buildRenderCommand());

  const std::vector<std::string> args = buildRenderArguments();
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
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

  // Ghostscript's standard output and error output go to a file in the
  // job's own directory: gs reports PostScript errors on standard output, and
  // nothing but the job stream may reach the printer; the first error is
  // named when the job fails.
  int messages = open(renderMessagesPath().c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (messages < 0) messages = open("/dev/null", O_WRONLY | O_CLOEXEC);
  // The child is replaced
  // by gs (or ends) without running any of this process's code, so buffered
  // output is neither written twice nor flushed here: the printer stream may
  // already hold lines that must wait for the first page.
  //
  // gs dies with this process: should the filter be killed outright (the
  // spooler's last resort), a gs it had paused would otherwise stay stopped
  // for good, and a running one would go on filling the work directory.
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) {
    if (messages >= 0) close(messages);
    return pid > 0 ? pid : -1;
  }
  for (const int cancel : {SIGTERM, SIGINT, SIGHUP})
    signal(cancel, SIG_DFL);  // until exec, a cancel ends the child plainly
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(kNotStartedExit);  // the filter is gone already
  if (messages < 0 || dup2(messages, STDOUT_FILENO) < 0 || dup2(messages, STDERR_FILENO) < 0)
    _exit(kNotStartedExit);
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
  if (pid <= 0) return kRenderNotStarted;
  int waitStatus = 0;
  pid_t done;
  do {
    done = waitpid(pid, &waitStatus, 0);
  } while (done == -1 && errno == EINTR);
  if (done == -1) return kRenderNotStarted;
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus) << 8;
  if (WIFSIGNALED(waitStatus)) return (128 + WTERMSIG(waitStatus)) << 8;
  return kRenderNotStarted;
}

int finishRender(pid_t pid) {
  const int status = waitRender(pid);
  if (bDebug) writeReturnCodeBlock(status);
  return status;
}

std::string firstRenderError() {
  // Only the start of the file is read: a job may print without end.
  char text[65536];
  size_t length = 0;
  const int fd = open(renderMessagesPath().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";
  ssize_t n;
  while (length < sizeof text && (n = read(fd, text + length, sizeof text - length)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    length += static_cast<size_t>(n);
  }
  close(fd);
  // The first line that names an error, else the first line with text.
  std::string chosen, first;
  for (size_t at = 0; at < length && chosen.empty();) {
    const char* end = static_cast<const char*>(memchr(text + at, '\n', length - at));
    const size_t stop = end != nullptr ? static_cast<size_t>(end - text) : length;
    std::string line(text + at, stop - at);
    const size_t start = line.find_first_not_of(" \t*");
    line = start == std::string::npos ? "" : line.substr(start);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    if (first.empty()) first = line;
    if (line.find("rror") != std::string::npos) chosen = line;
    at = stop + 1;
  }
  if (chosen.empty()) chosen = first;
  if (chosen.size() > kQuotedMessage) chosen = chosen.substr(0, kQuotedMessage) + "...";
  for (char& c : chosen)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return chosen;
}

int searchDir(const std::string& dir, const std::string& prefix) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  int count = 0;
  while (const struct dirent* entry = readdir(d)) {
    if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) ++count;
  }
  closedir(d);
  return count;
}
