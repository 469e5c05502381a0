// Child processes for the tests: fork, pipes, threads feeding standard input
// and draining standard output, wait4 for status and peak resident size.
#include "child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

extern char** environ;

const char* const kUnset = "\x01unset";

namespace {

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

// Our environment with the run's entries set or removed.
std::vector<std::string> childEnvironment(const ChildSpec& runSpec) {
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : runSpec.env)
      replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) entries.push_back(entry);
  }
  for (const auto& [name, value] : runSpec.env) {
    // The last entry for a name wins.
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&name = name](const std::string& entry) {
                                   return entry.compare(0, name.size() + 1, name + "=") == 0;
                                 }),
                  entries.end());
    if (value != kUnset) entries.push_back(name + "=" + value);
  }
  return entries;
}

void readOutput(Child* child, Output mode, size_t after) {
  char buffer[65536];
  for (;;) {
    size_t want = sizeof buffer;
    if (mode == Output::ReaderQuits || mode == Output::ReaderPauses) {
      const size_t have = child->outBytes.load();
      if (have >= after && mode == Output::ReaderPauses) {
        std::unique_lock<std::mutex> held(child->outLock);
        child->resumed.wait(held, [child] { return child->resume; });
        mode = Output::Collect;
        continue;
      }
      want = std::min(want, after - have);
      if (want == 0) break;
    }
    const ssize_t n = read(child->outFd, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> held(child->outLock);
    child->out.append(buffer, static_cast<size_t>(n));
    child->outBytes = child->out.size();
  }
  close(child->outFd);  // a reader that goes away: later writes get EPIPE
  child->outFd = -1;
  child->readerDone = true;
}

}  // namespace

std::string Child::outText() {
  std::lock_guard<std::mutex> held(outLock);
  return out;
}

std::string Child::errText() const { return fileText(errFile); }

void Child::resumeOutput() {
  std::lock_guard<std::mutex> held(outLock);
  resume = true;
  resumed.notify_all();
}

bool startChild(const ChildSpec& runSpec, Child* child) {
  // A child that dies early must not take the test with it through the
  // standard input pipe.
  signal(SIGPIPE, SIG_IGN);
  int inPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  int inFileFd = -1;
  if (!runSpec.inputFile.empty()) {
    inFileFd = open(runSpec.inputFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (inFileFd < 0) return false;
  } else if (pipe2(inPipe, O_CLOEXEC) != 0) {
    return false;
  }
  const bool piped = runSpec.output == Output::Collect || runSpec.output == Output::ReaderQuits ||
                     runSpec.output == Output::ReaderPauses;
  if (piped && pipe2(outPipe, O_CLOEXEC) != 0) return false;
  int outFileFd = -1;
  if (runSpec.output == Output::File) {
    outFileFd = open(runSpec.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outFileFd < 0) return false;
  }
  int errFd = -1;
  if (runSpec.errorFile.empty()) {
    char errName[] = "/tmp/vterrXXXXXX";
    errFd = mkostemp(errName, O_CLOEXEC);
    child->errFile = errName;
    child->ownErrFile = true;
  } else {
    errFd = open(runSpec.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    child->errFile = runSpec.errorFile;
  }
  if (errFd < 0) return false;

  std::vector<std::string> envText = childEnvironment(runSpec);
  std::vector<char*> envp;
  for (std::string& entry : envText) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argText{runSpec.argv0.empty() ? runSpec.program : runSpec.argv0};
  argText.insert(argText.end(), runSpec.args.begin(), runSpec.args.end());
  std::vector<char*> argv;
  for (std::string& arg : argText) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(inFileFd >= 0 ? inFileFd : inPipe[0], 0);
    if (runSpec.output == Output::Closed)
      close(1);
    else if (runSpec.output == Output::File)
      dup2(outFileFd, 1);
    else if (runSpec.output == Output::Descriptor)
      dup2(runSpec.outputFd, 1);
    else
      dup2(outPipe[1], 1);
    dup2(errFd, 2);
    signal(SIGPIPE, SIG_DFL);
    if (runSpec.uid != 0) {
      if (setgroups(0, nullptr) != 0 || setgid(runSpec.gid) != 0 || setuid(runSpec.uid) != 0)
        _exit(124);
    }
    if (!runSpec.cwd.empty() && chdir(runSpec.cwd.c_str()) != 0) _exit(125);
    execve(runSpec.program.c_str(), argv.data(), envp.data());
    _exit(126);
  }
  close(errFd);
  if (outFileFd >= 0) close(outFileFd);
  child->pid = pid;
  if (piped) {
    close(outPipe[1]);
    child->outFd = outPipe[0];
    const Output mode = runSpec.output;
    const size_t after = runSpec.readerAfter;
    child->reader = std::thread([child, mode, after] { readOutput(child, mode, after); });
  } else {
    child->readerDone = true;
  }
  if (inFileFd >= 0) {
    close(inFileFd);
    return true;
  }
  close(inPipe[0]);
  child->inFd = inPipe[1];
  const int inFd = child->inFd;
  const bool hold = runSpec.holdInputOpen;
  std::function<void(int)> writerFn = runSpec.inputWriter;
  const std::string input = runSpec.input;
  child->writer = std::thread([child, writerFn, input, inFd, hold] {
    if (writerFn)
      writerFn(inFd);
    else
      writeAll(inFd, input);
    if (!hold) {
      close(inFd);
      child->inFd = -1;
    }
  });
  return true;
}

ChildResult finishChild(Child* child) {
  ChildResult result;
  if (child->writer.joinable()) child->writer.join();
  if (child->inFd >= 0) {
    close(child->inFd);
    child->inFd = -1;
  }
  child->resumeOutput();
  int status = 0;
  rusage usage{};
  while (wait4(child->pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (child->reader.joinable()) child->reader.join();
  if (WIFEXITED(status))
    result.exitStatus = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  result.maxRssKiB = usage.ru_maxrss;
  result.out = child->out;
  result.err = fileText(child->errFile);
  if (child->ownErrFile) unlink(child->errFile.c_str());
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

ChildSpec commandSpec(const std::vector<std::string>& argv,
                      const std::vector<std::pair<std::string, std::string>>& env,
                      const std::string& inputFile) {
  ChildSpec runSpec;
  runSpec.program = argv.empty() ? std::string() : argv[0];
  if (!argv.empty()) runSpec.args.assign(argv.begin() + 1, argv.end());
  runSpec.env = env;
  runSpec.inputFile = inputFile.empty() ? "/dev/null" : inputFile;
  return runSpec;
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

ChildResult runShell(const std::string& dir, const std::string& command,
                     const std::string& stdinFile) {
  ChildSpec runSpec;
  runSpec.program = "/bin/sh";
  runSpec.args = {"-c", command};
  runSpec.cwd = dir;
  runSpec.env = {{"TMPDIR", dir}};
  runSpec.inputFile = stdinFile.empty() ? "/dev/null" : stdinFile;
  return runChild(runSpec);
}

bool waitFor(const std::function<bool()>& condition, pid_t watched) {
  while (!condition()) {
    if (watched > 0) {
      // Ended: a child of ours is a zombie until reaped; another process
      // is gone from /proc.
      const char state = processState(watched);
      if (state == 0 || state == 'Z' || state == 'X') return condition();
    }
    usleep(2000);  // a poll interval only; nothing is ordered by it
  }
  return true;
}

char processState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return 0;
  // The state letter follows the ")" that closes the command name.
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : 0;
}

bool processIdle(pid_t pid, pid_t except) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return false;
  bool idle = true;
  int threads = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == except) continue;
    std::ifstream stat(tasks + "/" + entry->d_name + "/stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    const size_t close = text.rfind(')');
    idle = idle && close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
    ++threads;
  }
  closedir(dir);
  return idle && (threads > 0 || except != 0);
}

bool processAlive(pid_t pid) {
  const char state = processState(pid);
  return state != 0 && state != 'Z' && state != 'X';
}

pid_t pidFrom(const std::string& file) {
  const std::string text = fileText(file);
  if (text.empty() || text.back() != '\n') return -1;
  return static_cast<pid_t>(std::stol(text));
}
