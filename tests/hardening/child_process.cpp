// Child processes for the hardening tests: fork, pipes, threads feeding
// standard input and draining standard output, wait4 for status and peak RSS.
#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

extern char** environ;

double nowSeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

bool waitFor(const std::function<bool()>& condition, double seconds) {
  const double end = nowSeconds() + seconds;
  while (!condition()) {
    if (nowSeconds() > end)
      return false;
    usleep(5000);
  }
  return true;
}

bool processAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text))
    return false;
  // State letter follows the ")" that closes the command name.
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

namespace {

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      if (n < 0 && errno == EINTR)
        continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

bool startChild(const ChildSpec& runSpec, Child* child) {
  // A child that dies early must not take the test with it through the
  // standard input pipe.
  signal(SIGPIPE, SIG_IGN);
  int inPipe[2];
  int outPipe[2] = {-1, -1};
  if (pipe2(inPipe, O_CLOEXEC) != 0)
    return false;
  if (runSpec.output != Output::Closed && pipe2(outPipe, O_CLOEXEC) != 0)
    return false;
  char errName[] = "/tmp/vhardXXXXXX";
  const int errFd = mkostemp(errName, O_CLOEXEC);
  if (errFd < 0)
    return false;
  child->errFile = errName;

  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : runSpec.env)
      replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced)
      envText.push_back(entry);
  }
  for (const auto& [name, value] : runSpec.env)
    envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : envText)
    envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argText{runSpec.argv0.empty() ? runSpec.program : runSpec.argv0};
  argText.insert(argText.end(), runSpec.args.begin(), runSpec.args.end());
  std::vector<char*> argv;
  for (std::string& arg : argText)
    argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  fflush(nullptr);
  child->startTime = nowSeconds();
  const pid_t pid = fork();
  if (pid < 0)
    return false;
  if (pid == 0) {
    dup2(inPipe[0], 0);
    if (runSpec.output == Output::Closed)
      close(1);
    else
      dup2(outPipe[1], 1);
    dup2(errFd, 2);
    signal(SIGPIPE, SIG_DFL);
    if (runSpec.uid != 0) {
      if (setgroups(0, nullptr) != 0 || setgid(runSpec.gid) != 0 || setuid(runSpec.uid) != 0)
        _exit(124);
    }
    execve(runSpec.program.c_str(), argv.data(), envp.data());
    _exit(126);
  }
  close(inPipe[0]);
  close(errFd);
  child->pid = pid;
  child->inFd = inPipe[1];
  if (runSpec.output != Output::Closed) {
    close(outPipe[1]);
    child->outFd = outPipe[0];
    const bool quits = runSpec.output == Output::ReaderQuits;
    const size_t limit = runSpec.readerQuitsAfter;
    child->reader = std::thread([child, quits, limit] {
      char buffer[65536];
      for (;;) {
        size_t want = sizeof buffer;
        if (quits)
          want = std::min(want, limit - child->out.size());
        if (want == 0)
          break;
        const ssize_t n = read(child->outFd, buffer, want);
        if (n < 0 && errno == EINTR)
          continue;
        if (n <= 0)
          break;
        child->out.append(buffer, static_cast<size_t>(n));
        child->outBytes = child->out.size();
      }
      close(child->outFd);  // a reader that goes away: later writes get EPIPE
      child->outFd = -1;
    });
  }
  const int inFd = child->inFd;
  const bool hold = runSpec.holdInputOpen;
  if (runSpec.inputWriter) {
    std::function<void(int)> writerFn = runSpec.inputWriter;
    child->writer = std::thread([child, writerFn, inFd, hold] {
      writerFn(inFd);
      if (!hold) {
        close(inFd);
        child->inFd = -1;
      }
    });
  } else {
    const std::string input = runSpec.input;
    child->writer = std::thread([child, input, inFd, hold] {
      writeAll(inFd, input);
      if (!hold) {
        close(inFd);
        child->inFd = -1;
      }
    });
  }
  return true;
}

ChildResult finishChild(Child* child) {
  ChildResult result;
  if (child->writer.joinable())
    child->writer.join();
  if (child->inFd >= 0) {
    close(child->inFd);
    child->inFd = -1;
  }
  int status = 0;
  rusage usage{};
  while (wait4(child->pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.seconds = nowSeconds() - child->startTime;
  if (child->reader.joinable())
    child->reader.join();
  if (WIFEXITED(status))
    result.exitStatus = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  result.maxRssKiB = usage.ru_maxrss;
  result.out = child->out;
  std::ifstream err(child->errFile, std::ios::binary);
  std::stringstream text;
  text << err.rdbuf();
  result.err = text.str();
  unlink(child->errFile.c_str());
  return result;
}

ChildResult runChild(const ChildSpec& runSpec) {
  Child child;
  if (!startChild(runSpec, &child)) {
    ChildResult failed;
    failed.err = "could not start " + runSpec.program;
    return failed;
  }
  return finishChild(&child);
}
