// The spooler tests' own helpers: the private scheduler, a free port,
// counted lines.
#include "cups_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

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
  writeFile(
      conf + "/cupsd.conf",
      "Listen 127.0.0.1:" + std::to_string(port) +
          "\nLogLevel debug\nMaxLogSize 0\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
          "PreserveJobFiles No\nPreserveJobHistory Yes\n"
          "<Location />\n  Order allow,deny\n  Allow 127.0.0.1\n</Location>\n"
          "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");

  // Under timeout(1), which hands SIGTERM on: the scheduler ends by itself
  // should the test die without stopping it.
  ChildSpec runSpec = commandSpec({"/usr/bin/timeout", "1800", setup.cupsd, "-f", "-c",
                                   conf + "/cupsd.conf", "-s", conf + "/cups-files.conf"});
  runSpec.output = Output::File;
  runSpec.outputFile = r + "/log/cupsd.out";
  runSpec.errorFile = r + "/log/cupsd.err";
  s.process = std::make_unique<Child>();
  if (!startChild(runSpec, s.process.get())) {
    s.process.reset();
    return "cannot start cupsd";
  }
  // Up once it answers; a scheduler that ended instead never will.
  const bool up = waitFor(
      [&] {
        return runChild(commandSpec({setup.lpstat, "-r"}, {{"CUPS_SERVER", s.host}}))
                   .out.find("is running") != std::string::npos;
      },
      s.process->pid);
  if (up) return "";
  return "cupsd did not answer: " + readFile(r + "/log/cupsd.err") + readFile(s.errorLog);
}

void stopScheduler(Scheduler& s) {
  if (!s.process) return;
  kill(s.process->pid, SIGTERM);
  finishChild(s.process.get());
  s.process.reset();
}
