// Starts a program with its standard output on a pipe and copies that output
// to the printer's device, counting pages as they go out; its standard error
// goes to an unnamed temporary file read once it has exited.
#include "device_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "page_frames.h"

extern char** environ;

namespace {

// How long one wait for output lasts before the job's cancel state is looked
// at again; it orders nothing, it only bounds how late a cancel is noticed.
constexpr int kCancelCheckMillis = 500;

int makeErrorFile() {
  const char* dir = getenv("TMPDIR");
  std::string path =
      std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/vormel-app-err-XXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd >= 0) unlink(path.c_str());
  return fd;
}

// The first line of `fd` (from its start) beginning "ERROR: ", without it.
std::string readErrorLine(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while (text.size() < 65536 && (n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, 7, "ERROR: ") == 0) return text.substr(at + 7, end - at - 7);
    at = end + 1;
  }
  return std::string();
}

pid_t startProgram(const std::vector<std::string>& arguments, int inputFd, int outputFd,
                   int errorFd) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
  // The program waits for its own children (gs); the server may ignore SIGCHLD.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGCHLD);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return failed == 0 ? pid : -1;
}

}  // namespace

bool relayToDevice(pappl_job_t* job, pappl_device_t* device,
                   const std::vector<std::string>& arguments, int inputFd, bool countPages,
                   DeviceRelayResult& result) {
  result = DeviceRelayResult();
  int pipeFds[2];
  const int errorFd = makeErrorFile();
  if (errorFd < 0 || pipe2(pipeFds, O_CLOEXEC) != 0) {
    if (errorFd >= 0) close(errorFd);
    result.startFailed = true;
    return false;
  }
  const pid_t pid = startProgram(arguments, inputFd, pipeFds[1], errorFd);
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    close(errorFd);
    result.startFailed = true;
    return false;
  }

  // Copy until the program closes its output. A stopped program still
  // finishes the stream it has begun; while the device takes bytes they go
  // out, so the printer is never left inside a command.
  PageFrames frames{};
  bool stopped = false;
  bool streamSeen = false;  // the output began as a printer stream
  bool withheld = false;    // it did not: nothing of it goes to the printer
  std::string head;         // the output's first bytes, until that is known
  char buffer[65536];
  for (;;) {
    if (!stopped && papplJobIsCanceled(job)) {
      result.cancelled = true;
      kill(pid, SIGTERM);
      stopped = true;
    }
    pollfd ready = {pipeFds[0], POLLIN, 0};
    if (poll(&ready, 1, kCancelCheckMillis) == 0) continue;
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (result.deviceFailed || withheld) continue;
    // Only a printer stream reaches the printer: a message printed instead
    // of one (a job without pages) would come out as a label of text.
    const char* data = buffer;
    size_t length = static_cast<size_t>(n);
    if (!streamSeen) {
      head.append(buffer, length);
      const int start = checkStreamStart(head.data(), head.size());
      if (start < 0) continue;
      if (start == 0) {
        withheld = true;
        continue;
      }
      streamSeen = true;
      data = head.data();
      length = head.size();
    }
    if (papplDeviceWrite(device, data, length) < 0) {
      result.deviceFailed = true;
      if (!stopped) kill(pid, SIGTERM);
      stopped = true;
      continue;
    }
    const int32_t done = scanPageFrames(frames, data, length);
    if (done > 0) {
      papplDeviceFlush(device);
      if (countPages) papplJobSetImpressionsCompleted(job, done);
      result.pagesSent += done;
    }
  }
  close(pipeFds[0]);
  papplDeviceFlush(device);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.errorText = readErrorLine(errorFd);
  close(errorFd);
  return result.exitStatus == 0 && !result.deviceFailed && !result.cancelled;
}

std::string describeRelayFailure(const DeviceRelayResult& result) {
  if (result.startFailed) return "the label renderer could not be started";
  if (result.deviceFailed)
    return "writing to the printer failed; " + std::to_string(result.pagesSent) +
           " page(s) were sent";
  if (result.cancelled)
    return "cancelled; " + std::to_string(result.pagesSent) + " page(s) were sent";
  if (!result.errorText.empty()) return result.errorText;
  if (result.exitStatus < 0) return "the label renderer stopped abnormally";
  return "the label renderer failed with exit status " + std::to_string(result.exitStatus);
}
