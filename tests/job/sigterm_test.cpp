// Cancelling a job with SIGTERM, as the spooler does, at each stage: while
// the job is read, while gs renders, while pages are sent; streamed and
// render-first, with and without debug mode. The program must end promptly
// with a non-zero status and one "INFO: " line, leave no job file, leave no
// gs running, and leave the printer either nothing or a whole stream that
// ends with the trailer. A filter killed outright takes gs with it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "job_support.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;

const std::string kTrailer = "WINDRVEND\r\n!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n";

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class Sigterm : public ::testing::Test {
 protected:
  // Starts the program with standard input on a pipe held open by the test.
  void start(const std::vector<std::string>& args, const Env& env) {
    // Emptied here, not in the child: what an earlier run left must not be
    // taken for this run's output.
    writeFile(outPath, "");
    writeFile(errPath, "");
    int in[2];
    ASSERT_EQ(0, pipe(in));
    fflush(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      close(in[0]);
      close(in[1]);
      const int out = open(outPath.c_str(), O_WRONLY);
      const int err = open(errPath.c_str(), O_WRONLY);
      dup2(out, 1);
      dup2(err, 2);
      setenv("TMPDIR", work.path.c_str(), 1);
      setenv("PATH", stubPath().c_str(), 1);
      setenv("STUB_GS_PIDFILE", pidFile.c_str(), 1);
      unsetenv("VORMEL_SEQUENTIAL");
      for (const auto& [name, value] : env)
        setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> argv = {const_cast<char*>(VORMEL_BIN)};
      std::vector<std::string> all = {"-dir", cap.path};
      all.insert(all.end(), args.begin(), args.end());
      for (std::string& a : all)
        argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(VORMEL_BIN, argv.data());
      _exit(126);
    }
    close(in[0]);
    stdinFd = in[1];
  }

  void feed(const std::string& text, bool close) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(stdinFd, text.data(), text.size()));
    if (close) {
      ::close(stdinFd);
      stdinFd = -1;
    }
  }

  // Sends SIGTERM and waits (at most 5 s) for the end; checks what every
  // cancelled run must show and returns standard output.
  std::string cancelAndCheck() {
    const pid_t gs = readGsPid();
    const auto sent = Clock::now();
    kill(pid, SIGTERM);
    int status = 0;
    const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
    EXPECT_TRUE(ended) << "no end within 5 s of SIGTERM";
    // Generous: the page under way is finished first, and sanitizer builds
    // code it many times slower.
    EXPECT_LT(Clock::now() - sent, std::chrono::seconds(3)) << "slow to stop";
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_NE(0, WEXITSTATUS(status));

    const std::string err = readFile(errPath);
    EXPECT_EQ(0u, err.find("INFO: job cancelled")) << err;
    EXPECT_EQ(err.size() - 1, err.find('\n')) << "one line: " << err;
    EXPECT_EQ(std::vector<std::string>{}, listDir(work.path)) << "job files left in the work directory";
    EXPECT_EQ(std::vector<std::string>{}, listDir(cap.path)) << "capture file left";
    if (gs > 0) {
      errno = 0;
      EXPECT_EQ(-1, kill(gs, 0));
      EXPECT_EQ(ESRCH, errno) << "gs still there";
    }
    return readFile(outPath);
  }

  // 300 KB of incompressible bytes for the stub's pages, so that pages take
  // a while to code.
  void writeNoise(uint32_t seed) {
    std::string noise(300000, '\0');
    for (char& c : noise) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(seed >> 23);
    }
    writeFile(noiseFile, noise);
  }
  pid_t readGsPid() {
    const std::string text = readFile(pidFile);
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
  }

  // A stream is either nothing or whole: every page complete, the trailer last.
  static size_t pagesOfWholeStream(const std::string& out) {
    if (out.empty())
      return 0;
    ParsedStream parsed;
    EXPECT_EQ("", parseStream(out, &parsed));
    EXPECT_GE(out.size(), kTrailer.size());
    if (out.size() >= kTrailer.size()) {
      EXPECT_EQ(kTrailer, out.substr(out.size() - kTrailer.size()));
    }
    return parsed.pages.size();
  }

  void TearDown() override {
    if (stdinFd >= 0)
      close(stdinFd);
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  ScratchDir work{"vtcwork"}, cap{"vtccap"}, meta{"vtcmeta"};
  std::string outPath = meta.path + "/out", errPath = meta.path + "/err";
  std::string pidFile = meta.path + "/gspid";
  std::string noiseFile = meta.path + "/noise";
  pid_t pid = -1;
  int stdinFd = -1;
};

const std::string kHead = "%!PS-Adobe-3.0\n%%Pages: 3\n";

TEST_F(Sigterm, while_the_job_is_read_nothing_is_printed_and_nothing_stays) {
  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug);
    start(debug ? std::vector<std::string>{"-debug"} : std::vector<std::string>{}, {});
    feed(kHead, false);
    // Both job files exist once the capture has begun.
    ASSERT_TRUE(waitUntil([&] { return !listDir(work.path).empty() && !listDir(cap.path).empty(); },
                          3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ("", cancelAndCheck());
    close(stdinFd);
    stdinFd = -1;
  }
}

TEST_F(Sigterm, while_gs_renders_gs_is_stopped) {
  for (const bool sequential : {false, true}) {
    for (const bool debug : {false, true}) {
      SCOPED_TRACE(std::string(sequential ? "render first" : "streamed") + (debug ? ", debug" : ""));
      unlink(pidFile.c_str());
      Env env = {{"STUB_GS_PAGES", "3"}, {"STUB_GS_DELAY", "3"}};
      if (sequential)
        env.push_back({"VORMEL_SEQUENTIAL", "1"});
      start(debug ? std::vector<std::string>{"-debug"} : std::vector<std::string>{}, env);
      feed(kHead + "showpage\n", true);
      ASSERT_TRUE(waitUntil([&] { return readGsPid() > 0; }, 3000)) << "gs never started";
      const std::string out = cancelAndCheck();
      // Render first: nothing was written yet. Streamed: the opening lines
      // were under way, so they are closed by the trailer, with no page.
      if (sequential)
        EXPECT_EQ("", out);
      else
        EXPECT_EQ(0u, pagesOfWholeStream(out));
    }
  }
}

TEST_F(Sigterm, while_pages_are_sent_the_page_under_way_is_finished_and_no_other_begins) {
  writeNoise(3u);
  for (const bool sequential : {false, true}) {
    SCOPED_TRACE(sequential ? "render first" : "streamed");
    unlink(pidFile.c_str());
    Env env = {{"STUB_GS_PAGES", "20"}, {"STUB_GS_SOURCE", noiseFile}};
    if (sequential)
      env.push_back({"VORMEL_SEQUENTIAL", "1"});
    else
      env.push_back({"STUB_GS_DELAY", "0.1"});
    start({}, env);
    feed(kHead + "showpage\n", true);
    ASSERT_TRUE(waitUntil([&] { return readFile(outPath).find("PRINT\r\n") != std::string::npos; },
                          10000))
        << "no page went out";
    const size_t pages = pagesOfWholeStream(cancelAndCheck());
    EXPECT_GE(pages, 1u);
    EXPECT_LT(pages, 20u);
  }
}

// The state letter of a process from /proc ('T' stopped, 'Z' dead but not
// reaped), or 0 when there is no such process.
char processState(pid_t process) {
  const std::string stat = readFile("/proc/" + std::to_string(process) + "/stat");
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

TEST_F(Sigterm, a_filter_killed_outright_takes_gs_with_it_paused_or_running) {
  writeNoise(7u);
  for (const bool paused : {true, false}) {
    SCOPED_TRACE(paused ? "gs paused" : "gs running");
    unlink(pidFile.c_str());
    // Paused: pages of noise come faster than they are coded, so gs is
    // stopped while it is ahead. Running: gs sleeps before its first page.
    const Env env = paused ? Env{{"STUB_GS_PAGES", "40"}, {"STUB_GS_SOURCE", noiseFile}}
                           : Env{{"STUB_GS_PAGES", "3"}, {"STUB_GS_DELAY", "3"}};
    start({}, env);
    feed(kHead + "showpage\n", true);
    ASSERT_TRUE(waitUntil([&] { return readGsPid() > 0; }, 3000)) << "gs never started";
    const pid_t gs = readGsPid();
    if (paused) {
      ASSERT_TRUE(waitUntil([&] { return processState(gs) == 'T'; }, 5000)) << "gs was never paused";
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    EXPECT_TRUE(waitUntil([&] { const char state = processState(gs); return state == 0 || state == 'Z'; }, 3000))
        << "gs is still there, state " << processState(gs);
  }
}

}  // namespace
