// Cancellation: SIGTERM (the spooler's cancel), SIGINT and SIGHUP all end
// the job the same way. Reading the job blocks in read(), where a flag would
// not be seen until the spooler closes the pipe, so in that stage the handler
// does all the work itself with async-signal-safe calls only: unlink the job
// files and the job's directory by names copied beforehand, write a fixed
// message, _exit.
#include "driver/job_cancel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "state/job_settings.h"

namespace {

enum Stage { kBeforeFiles = 0, kReading = 1, kCancellable = 2 };

volatile sig_atomic_t stage = kBeforeFiles;
volatile sig_atomic_t requested = 0;
int wakePipe[2] = {-1, -1};

// Copies of the job file names for the handler; set once, never freed.
const char* placeholderPath = nullptr;
const char* capturePath = nullptr;
const char* jobDirPath = nullptr;

// The signals that cancel a job.
constexpr int kCancelSignals[] = {SIGTERM, SIGINT, SIGHUP};

// A cancel is what someone asked for, not a fault: an INFO line.
const char kReadingMessage[] = "INFO: job cancelled while it was being read; nothing was printed\n";
const char kEarlyMessage[] = "INFO: job cancelled before it was read; nothing was printed\n";

void writeMessage(const char* text, size_t length) {
  while (length > 0) {
    const ssize_t n = write(STDERR_FILENO, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

void onTerminate(int) {
  const int savedErrno = errno;
  switch (stage) {
    case kReading:
      if (placeholderPath != nullptr) unlink(placeholderPath);
      if (capturePath != nullptr) unlink(capturePath);
      if (jobDirPath != nullptr) rmdir(jobDirPath);
      writeMessage(kReadingMessage, sizeof kReadingMessage - 1);
      _exit(1);
    case kBeforeFiles:
      writeMessage(kEarlyMessage, sizeof kEarlyMessage - 1);
      _exit(1);
    default:
      requested = 1;
      if (wakePipe[1] >= 0) {
        const char byte = 1;
        (void)!write(wakePipe[1], &byte, 1);  // full pipe: a byte is already there
      }
      errno = savedErrno;
  }
}

void setBlocked(bool blocked) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kCancelSignals) sigaddset(&set, signal);
  sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

void armCancellation() {
  if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
    wakePipe[0] = wakePipe[1] = -1;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onTerminate;
  sigemptyset(&action.sa_mask);
  for (const int signal : kCancelSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_RESTART;
  for (const int signal : kCancelSignals) sigaction(signal, &action, nullptr);
}

void holdCancellation() { setBlocked(true); }

void noteJobFilesForCancellation() {
  if (!pTmpFname.empty()) {
    placeholderPath = strdup((pTmpFname + "_1").c_str());
    capturePath = strdup(saveFname.c_str());
    jobDirPath = strdup(dirLoc.c_str());
    stage = kReading;
  }
  setBlocked(false);
}

void enterCancellableJob() { stage = kCancellable; }

bool cancelRequested() { return requested != 0; }

int cancelWakeFd() { return wakePipe[0]; }
