// Test helpers for the spooler front end and the print queue tests: process
// running with timeouts, files and scratch directories.
#include "cups_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

void removeTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : listDir(path)) removeTree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

[[noreturn]] void execChild(const std::vector<std::string>& argv,
                            const std::vector<std::pair<std::string, std::string>>& env,
                            const std::string& inputPath) {
  for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
  const int in = open(inputPath.empty() ? "/dev/null" : inputPath.c_str(), O_RDONLY);
  if (in >= 0) dup2(in, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

}  // namespace

TestDir::TestDir(const std::string& tag) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + tag +
                        "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) != nullptr) {
    path = buf.data();
    chmod(path.c_str(), 0755);
  }
}

TestDir::~TestDir() {
  if (!path.empty()) removeTree(path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& bytes, int mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  chmod(path.c_str(), mode_t(mode));
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

pid_t startProgram(const std::vector<std::string>& argv,
                   const std::vector<std::pair<std::string, std::string>>& env,
                   const std::string& inputPath, const std::string& outPath,
                   const std::string& errPath) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    execChild(argv, env, inputPath);
  }
  return pid;
}

pid_t startProgramWithOutputFd(const std::vector<std::string>& argv,
                               const std::vector<std::pair<std::string, std::string>>& env,
                               const std::string& inputPath, int outFd,
                               const std::string& errPath) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(outFd, 1);
    if (err >= 0) dup2(err, 2);
    execChild(argv, env, inputPath);
  }
  return pid;
}

bool programEnded(pid_t pid) {
  siginfo_t info = {};
  // WNOWAIT leaves the child to be collected by waitProgram.
  if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
  return info.si_pid == pid;
}

bool waitProgram(pid_t pid, RunResult& result) {
  int status = 0;
  pid_t r;
  while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (r != pid) return false;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signalNumber = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return true;
}

void pollUntil(const std::function<bool()>& done) {
  while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& env,
                     const std::string& inputPath) {
  RunResult result;
  TestDir dir("vcrun");
  const std::string outPath = dir.path + "/out", errPath = dir.path + "/err";
  const pid_t pid = startProgram(argv, env, inputPath, outPath, errPath);
  if (pid < 0) return result;
  waitProgram(pid, result);
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

std::string describeDifference(const std::string& expected, const std::string& actual) {
  if (expected == actual) return std::string();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  auto window = [at](const std::string& s) {
    std::string hex;
    char buf[4];
    for (size_t i = at; i < s.size() && i < at + 16; ++i) {
      snprintf(buf, sizeof buf, "%02x ", unsigned(static_cast<unsigned char>(s[i])));
      hex += buf;
    }
    return hex;
  };
  std::ostringstream text;
  text << "first difference at offset " << at << " (expected " << expected.size()
       << " bytes, got " << actual.size() << ")\n  expected: " << window(expected)
       << "\n  actual:   " << window(actual);
  return text.str();
}

int countLines(const std::string& text, const std::string& line) {
  int count = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, end - start, line) == 0 && end - start == line.size()) ++count;
    if (end == text.size()) break;
    start = end + 1;
  }
  return count;
}

int freeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(s);
  return port;
}

std::string startScheduler(const SchedulerSetup& setup, Scheduler& s) {
  const std::string& r = setup.root;
  const std::string conf = r + "/conf";
  for (const char* dir : {"/conf", "/spool", "/spool/tmp", "/cache", "/state", "/log", "/out"})
    mkdir((r + dir).c_str(), 0755);
  s.tempDir = r + "/spool/tmp";
  s.pageLog = r + "/log/page_log";
  s.errorLog = r + "/log/error_log";
  s.outDir = r + "/out";
  const int port = freeLoopbackPort();
  if (port == 0) return "no free loopback port";
  s.host = "127.0.0.1:" + std::to_string(port);
  writeFile(conf + "/cups-files.conf",
            "ServerRoot " + conf + "\nServerBin " + setup.serverBin + "\nDataDir " + setup.dataDir +
                "\nRequestRoot " + r + "/spool\nTempDir " + s.tempDir + "\nCacheDir " + r +
                "/cache\nStateDir " + r + "/state\nAccessLog " + r + "/log/access_log\nErrorLog " +
                s.errorLog + "\nPageLog " + s.pageLog + "\nPrintcap " + r +
                "/state/printcap\nFileDevice Yes\nUser lp\nGroup lp\nSystemGroup root\n");
  // Loopback only, no browsing, no authentication (nobody else can reach it).
  writeFile(conf + "/cupsd.conf",
            "Listen 127.0.0.1:" + std::to_string(port) +
                "\nLogLevel debug\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                "PreserveJobFiles No\nPreserveJobHistory Yes\n"
                "<Location />\n  Order allow,deny\n  Allow 127.0.0.1\n</Location>\n"
                "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");

  // Under timeout(1), which hands SIGTERM on: the scheduler ends by itself
  // should the test die without stopping it.
  s.pid = startProgram({"/usr/bin/timeout", "1800", setup.cupsd, "-f", "-c", conf + "/cupsd.conf", "-s",
                        conf + "/cups-files.conf"},
                       {}, "", r + "/log/cupsd.out", r + "/log/cupsd.err");
  if (s.pid <= 0) return "cannot start cupsd";
  // Up once it answers; a scheduler that ended instead never will.
  std::string failure;
  pollUntil([&] {
    if (runProgram({setup.lpstat, "-r"}, {{"CUPS_SERVER", s.host}}, "").out.find("is running") != std::string::npos)
      return true;
    if (programEnded(s.pid)) failure = "cupsd did not answer: " + readFile(r + "/log/cupsd.err") + readFile(s.errorLog);
    return !failure.empty();
  });
  return failure;
}

void stopScheduler(Scheduler& s) {
  if (s.pid <= 0) return;
  kill(s.pid, SIGTERM);
  RunResult r;
  waitProgram(s.pid, r);
  s.pid = -1;
}
