// A real print queue: a private CUPS scheduler on loopback with its own
// configuration, the project installed into a staging directory, a queue with
// our PPD on a file: device, and label jobs printed with lp. The device file
// must hold exactly what vormel writes for the same job and option words.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cups_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kJobs = std::string(VORMEL_SOURCE_DIR) + "/tests/cups/jobs";
const char* const kTrailer = "WINDRVEND\r\n!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n";

// A port on loopback that nothing listens on right now.
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

// The decimal number that follows `prefix` in `text` (from `from` on), or -1.
int numberAfter(const std::string& text, const std::string& prefix, size_t from = 0) {
  const size_t at = text.find(prefix, from);
  if (at == std::string::npos) return -1;
  const size_t digits = at + prefix.size();
  const size_t end = text.find_first_not_of("0123456789", digits);
  if (end == digits) return -1;
  return std::stoi(text.substr(digits, end - digits));
}

bool copyExecutable(const std::string& from, const std::string& to) {
  const std::string bytes = readFile(from);
  if (bytes.empty()) return false;
  writeFile(to, bytes, 0755);
  return true;
}

// The private scheduler shared by the tests of this suite.
struct Server {
  std::unique_ptr<TestDir> root;
  std::string host;       // 127.0.0.1:port, for every client's -h
  std::string stage;      // DESTDIR of the installation
  std::string vormel;     // the installed (staged) vormel
  std::string device;     // the file: device
  std::string tempDir;    // the scheduler's TempDir, where filters keep job files
  std::string pageLog, errorLog;
  pid_t pid = -1;
  std::string failure;    // why the server could not be set up
};

Server* server = nullptr;

RunResult client(const std::vector<std::string>& argv) {
  return runProgram(argv, {{"CUPS_SERVER", server->host}}, "", 30);
}

// Installs the project into a staging directory, exactly as cmake --install
// lays it out, and checks the spooler's permission rules on the filter.
std::string stageInstall(Server& s) {
  s.stage = s.root->path + "/stage";
  const RunResult r =
      runProgram({CMAKE_COMMAND, "--install", VORMEL_BUILD_DIR}, {{"DESTDIR", s.stage}}, "", 120);
  if (r.exitStatus != 0) return "cmake --install failed: " + r.out + r.err;
  const std::string filter = s.stage + VORMEL_INSTALLED_FILTER;
  for (const std::string& path : {filter, filter.substr(0, filter.rfind('/')),
                                  s.stage + VORMEL_INSTALLED_PPD, s.stage + VORMEL_INSTALLED_PROGRAM}) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "not installed: " + path;
    if (st.st_uid != 0 || (st.st_mode & 022) != 0)
      return "installed file not root-owned or group/world-writable: " + path;
  }
  s.vormel = s.stage + VORMEL_INSTALLED_PROGRAM;
  return std::string();
}

// ServerBin of the private scheduler: the system's helpers and filters by
// link, our filter with vormel beside it (copies, so each finds the other).
std::string makeServerBin(Server& s, const std::string& serverBin) {
  mkdir(serverBin.c_str(), 0755);
  for (const char* dir : {"backend", "cgi-bin", "daemon", "driver", "monitor", "notifier"})
    symlink((std::string(VORMEL_CUPS_SERVERBIN) + "/" + dir).c_str(),
            (serverBin + "/" + dir).c_str());
  const std::string filters = serverBin + "/filter";
  mkdir(filters.c_str(), 0755);
  const std::string systemFilters = std::string(VORMEL_CUPS_SERVERBIN) + "/filter";
  for (const std::string& name : listDir(systemFilters))
    if (name != "vormel-cups") symlink((systemFilters + "/" + name).c_str(), (filters + "/" + name).c_str());
  if (!copyExecutable(s.stage + VORMEL_INSTALLED_FILTER, filters + "/vormel-cups") ||
      !copyExecutable(s.vormel, filters + "/vormel"))
    return "cannot copy the filter into " + filters;
  return std::string();
}

std::string writeConfig(Server& s, const std::string& conf, const std::string& serverBin, int port) {
  const std::string& r = s.root->path;
  for (const char* dir : {"/spool", "/spool/tmp", "/cache", "/state", "/log", "/out"})
    mkdir((r + dir).c_str(), 0755);
  s.tempDir = r + "/spool/tmp";
  s.pageLog = r + "/log/page_log";
  s.errorLog = r + "/log/error_log";
  s.device = r + "/out/device.prn";
  writeFile(conf + "/cups-files.conf",
            "ServerRoot " + conf + "\nServerBin " + serverBin + "\nDataDir " + VORMEL_CUPS_DATADIR +
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
  return std::string();
}

std::string startServer(Server& s) {
  if (getuid() != 0) return "skip:the private scheduler must run as root to run filters as lp";
  if (!fileExists(CUPSD_PROGRAM)) return "skip:cupsd is not installed (Debian package cups)";
  for (const char* tool : {LP_PROGRAM, LPSTAT_PROGRAM, LPADMIN_PROGRAM, CANCEL_PROGRAM})
    if (!fileExists(tool)) return std::string("skip:") + tool + " is not installed (cups-client)";

  s.root = std::make_unique<TestDir>("vcqueue");
  if (s.root->path.empty()) return "cannot make a scratch directory";
  std::string why = stageInstall(s);
  if (!why.empty()) return why;
  const std::string serverBin = s.root->path + "/serverbin", conf = s.root->path + "/conf";
  why = makeServerBin(s, serverBin);
  if (!why.empty()) return why;
  mkdir(conf.c_str(), 0755);
  const int port = freeLoopbackPort();
  if (port == 0) return "no free loopback port";
  s.host = "127.0.0.1:" + std::to_string(port);
  writeConfig(s, conf, serverBin, port);

  s.pid = startProgram({CUPSD_PROGRAM, "-f", "-c", conf + "/cupsd.conf", "-s", conf + "/cups-files.conf"},
                       {}, "", s.root->path + "/log/cupsd.out", s.root->path + "/log/cupsd.err");
  if (s.pid <= 0) return "cannot start cupsd";
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  for (;;) {
    if (client({LPSTAT_PROGRAM, "-r"}).out.find("is running") != std::string::npos) break;
    if (Clock::now() > deadline)
      return "cupsd did not answer: " + readFile(s.root->path + "/log/cupsd.err") +
             readFile(s.errorLog);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const RunResult added =
      client({LPADMIN_PROGRAM, "-p", "vq", "-E", "-v", "file://" + s.device, "-P",
              s.stage + VORMEL_INSTALLED_PPD, "-o", "printer-error-policy=abort-job"});
  if (added.exitStatus != 0) return "lpadmin failed: " + added.out + added.err;
  return std::string();
}

void stopServer(Server& s) {
  if (s.pid > 0) {
    kill(s.pid, SIGTERM);
    RunResult r;
    if (!waitProgram(s.pid, 15, r)) kill(s.pid, SIGKILL);
    s.pid = -1;
  }
}

class PrintQueue : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new Server;
    server->failure = startServer(*server);
    if (!server->failure.empty()) stopServer(*server);
  }
  static void TearDownTestSuite() {
    stopServer(*server);
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    if (server->failure.rfind("skip:", 0) == 0) GTEST_SKIP() << server->failure.substr(5);
    ASSERT_EQ(server->failure, "");
  }

  // Prints `job` with the lp arguments `args`; returns the job id, "" on failure.
  static std::string print(const std::string& job, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {LP_PROGRAM, "-d", "vq"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(job);
    const RunResult r = client(argv);
    const int number = numberAfter(r.out, "request id is vq-");
    if (r.exitStatus != 0 || number < 0) {
      ADD_FAILURE() << "lp failed: " << r.out << r.err;
      return std::string();
    }
    return "vq-" + std::to_string(number);
  }

  // Waits (bounded) until `jobId` has left the queue; true when it completed.
  static bool waitDone(const std::string& jobId, int seconds = 90) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (client({LPSTAT_PROGRAM, "-W", "not-completed", "-o", "vq"}).out.find(jobId + " ") !=
           std::string::npos) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return client({LPSTAT_PROGRAM, "-W", "completed", "-o", "vq"}).out.find(jobId + " ") !=
           std::string::npos;
  }

  // The page count the page log gives for a job ("... <job number> ... total N ...").
  static int loggedPages(const std::string& jobId) {
    // Lines read "queue user job-number [time] total N ..."; the user is root.
    const std::string number = jobId.substr(jobId.find('-') + 1);
    const std::string log = readFile(server->pageLog);
    const size_t line = log.find("vq root " + number + " [");
    if (line == std::string::npos) return -1;
    const size_t close = log.find("] ", line);
    return close == std::string::npos ? -1 : numberAfter(log, "] total ", close);
  }

  // What vormel writes for `jobText` and `words`, run by hand.
  static std::string vormelStream(const std::string& jobText, const std::vector<std::string>& words) {
    TestDir dir("vcexpect");
    writeFile(dir.path + "/job.ps", jobText);
    std::vector<std::string> argv = {server->vormel};
    argv.insert(argv.end(), words.begin(), words.end());
    const RunResult r = runProgram(argv, {{"TMPDIR", dir.path}}, dir.path + "/job.ps", 120);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    // Never compare two empty or broken streams with each other.
    EXPECT_EQ(r.out.rfind("!QXR_SETUP\r\n", 0), 0u) << r.err;
    EXPECT_GE(countLines(r.out, "PRINT\r"), 1);
    return r.out;
  }
};

std::string withResolution(const std::string& job, int dpi) {
  const std::string line =
      "<< /HWResolution [" + std::to_string(dpi) + " " + std::to_string(dpi) + "] >> setpagedevice\n";
  std::string text = job;
  const size_t at = text.find("%%EndComments\n") + 14;
  return text.insert(at, line);
}

int pcxSize(const std::string& stream) {
  return numberAfter(stream, "\r\nPCX");
}

struct ChoiceRow {
  std::vector<std::string> lpArgs;
  std::vector<std::string> words;
  int dpi;  // resolution the job is rendered at; 0 for the job's own
};

TEST_F(PrintQueue, device_gets_exactly_vormels_stream_for_the_chosen_settings) {
  const std::string job = readFile(kJobs + "/label.ps");
  const ChoiceRow rows[] = {
      {{}, {}, 0},
      // A title that is an option word must change nothing.
      {{"-t", "-raw", "-o", "MediaHandling=CutLabel", "-o", "LabelsPerCut=3", "-o", "Sensing=Gap",
        "-o", "PrintSpeed=6"},
       {"-cutlabel", "-labelpercut", "3", "-gap", "-speed", "6"}, 0},
      {{"-t", "-debug", "-o", "MediaHandling=CutJob", "-o", "MediaType=DirectThermal", "-o",
        "PauseMode=Batch", "-o", "BatchSize=5", "-o", "SlashZero=On", "-o", "Darkness=12", "-o",
        "TearOffset=-5", "-o", "SlewSpeed=8"},
       {"-cutjob", "-dt", "-batchpause", "-batchsize", "5", "-slashzero", "-slew", "8", "-intensity",
        "12", "-tearoffset", "-5"}, 0},
      {{"-o", "MediaHandling=Peel", "-o", "PrintOrientation=Inverted", "-o", "MirrorImage=Mirrored",
        "-o", "Rotation=180", "-o", "Resolution=203dpi"},
       {"-peel", "-invertOrient", "-mirrorImage", "-rotate", "180"}, 203},
  };
  for (const ChoiceRow& row : rows) {
    const std::string id = print(kJobs + "/label.ps", row.lpArgs);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(waitDone(id)) << id << " did not complete\n" << readFile(server->errorLog);
    const std::string expected = vormelStream(row.dpi ? withResolution(job, row.dpi) : job, row.words);
    EXPECT_EQ(describeDifference(expected, readFile(server->device)), "") << id;
    EXPECT_EQ(loggedPages(id), 1) << readFile(server->pageLog);
  }
}

TEST_F(PrintQueue, resolution_choices_reach_the_render_at_203_300_and_600_dpi) {
  const std::string job = readFile(kJobs + "/label.ps");
  int previous = 0;
  for (int dpi : {203, 300, 600}) {
    const std::string id = print(kJobs + "/label.ps", {"-o", "Resolution=" + std::to_string(dpi) + "dpi"});
    ASSERT_TRUE(waitDone(id)) << id;
    const std::string got = readFile(server->device);
    // 300 dpi is the default choice and sends nothing: vormel renders at its own 300.
    EXPECT_EQ(describeDifference(vormelStream(dpi == 300 ? job : withResolution(job, dpi), {}), got), "")
        << dpi << " dpi";
    const int size = pcxSize(got);
    EXPECT_GT(size, previous) << "page image did not grow with the resolution at " << dpi;
    previous = size;
  }
}

TEST_F(PrintQueue, page_log_counts_pages_and_copies_are_made_once) {
  const std::string job = readFile(kJobs + "/three_labels.ps");
  const std::string once = vormelStream(job, {"-tearoff"});
  const std::string id = print(kJobs + "/three_labels.ps", {"-o", "MediaHandling=TearOff"});
  ASSERT_TRUE(waitDone(id)) << id;
  EXPECT_EQ(describeDifference(once, readFile(server->device)), "");
  EXPECT_EQ(loggedPages(id), 3) << readFile(server->pageLog);

  // Two copies: the spooler repeats the pages, the front end adds none.
  const std::string copies = print(kJobs + "/three_labels.ps", {"-n", "2", "-o", "MediaHandling=TearOff"});
  ASSERT_TRUE(waitDone(copies)) << copies;
  const std::string got = readFile(server->device);
  EXPECT_EQ(countLines(got, "PRINT\r"), 6);
  EXPECT_EQ(loggedPages(copies), 6) << readFile(server->pageLog);
}

TEST_F(PrintQueue, landscape_jobs_keep_the_labels_length_and_width) {
  struct Row {
    std::vector<std::string> args;
    const char* engineLine;
  };
  const Row rows[] = {
      {{"-o", "landscape"}, "ENGINE-LENGTH;6000:WIDTH;4000\r\n"},
      {{"-o", "landscape", "-o", "media=w288h144"}, "ENGINE-LENGTH;2000:WIDTH;4000\r\n"},
      {{"-o", "orientation-requested=4", "-o", "PageSize=w216h144"}, "ENGINE-LENGTH;2000:WIDTH;3000\r\n"},
      {{"-o", "media=w283h425"}, "ENGINE-LENGTH;5902:WIDTH;3930\r\n"},
  };
  for (const Row& row : rows) {
    const std::string id = print(kJobs + "/label.ps", row.args);
    ASSERT_TRUE(waitDone(id)) << id;
    const std::string got = readFile(server->device);
    EXPECT_EQ(got.rfind(std::string("!QXR_SETUP\r\n") + row.engineLine, 0), 0u) << got.substr(0, 60);
    EXPECT_EQ(countLines(got, "PRINT\r"), 1);
  }
}

// Whether vormel stops cleanly on SIGTERM: it is sent SIGTERM while it reads
// a job from a pipe that stays open. A vormel that just dies of the signal
// leaves its job files behind, and the cancel check cannot pass.
bool vormelHandlesSigterm(std::string& detail) {
  TestDir dir("vcprobe");
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[1]);
    setenv("TMPDIR", dir.path.c_str(), 1);
    execl(server->vormel.c_str(), server->vormel.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  const std::string head = "%!PS-Adobe-3.0\n%%Pages: 1\n";
  (void)!write(fds[1], head.data(), head.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pid, SIGTERM);
  RunResult r;
  const bool ended = waitProgram(pid, 3, r);
  close(fds[1]);
  if (!ended) {
    detail = "vormel did not end within 3 s of SIGTERM";
    return false;
  }
  detail = r.signalNumber == SIGTERM ? "vormel is ended by SIGTERM itself (no handler)"
                                     : "vormel exited with status " + std::to_string(r.exitStatus);
  // What a killed probe leaves is removed here: its capture file in /tmp is
  // named after the base name of its placeholder.
  const std::vector<std::string> left = listDir(dir.path);
  for (const std::string& name : left)
    if (name.rfind("vdq", 0) == 0 && name.find('_') != std::string::npos)
      unlink(("/tmp/In_" + name.substr(0, name.find('_')) + ".ps").c_str());
  return r.signalNumber == 0 && r.exitStatus != 0 && left.empty();
}

TEST_F(PrintQueue, cancelled_long_job_leaves_no_job_file_behind) {
  std::string detail;
  if (!vormelHandlesSigterm(detail))
    GTEST_SKIP() << "vormel has no clean SIGTERM handling yet (" << detail
                 << "); a cancelled job would leave its files";

  // A long job: 40 labels at 600 dpi.
  std::string job = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 288 432\n%%Pages: 40\n%%EndComments\n"
                    "<< /PageSize [288 432] >> setpagedevice\n";
  for (int page = 1; page <= 40; ++page)
    job += "%%Page: " + std::to_string(page) + " " + std::to_string(page) +
           "\n0 1 60 { 4 mul 10 add 10 moveto 0 400 rlineto 1.5 setlinewidth stroke } for\n"
           "/Helvetica findfont 30 scalefont setfont 40 200 moveto (" + std::to_string(page) +
           ") show showpage\n";
  job += "%%EOF\n";
  const std::string path = server->root->path + "/long.ps";
  writeFile(path, job);
  const std::vector<std::string> before = listDir(server->tempDir);

  const std::string id = print(path, {"-o", "Resolution=600dpi"});
  ASSERT_FALSE(id.empty());
  // Cancel once vormel is at work (its files have appeared in the spooler's TempDir).
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  std::vector<std::string> during = listDir(server->tempDir);
  while (during == before && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    during = listDir(server->tempDir);
  }
  ASSERT_NE(during, before) << "vormel never started";
  // The capture file of the run is named after the base name of its page images.
  std::vector<std::string> captures;
  for (const std::string& name : during)
    if (name.rfind("vdq", 0) == 0 && name.find('_') != std::string::npos)
      captures.push_back("/tmp/In_" + name.substr(0, name.find('_')) + ".ps");
  EXPECT_EQ(client({CANCEL_PROGRAM, id}).exitStatus, 0);

  const auto gone = Clock::now() + std::chrono::seconds(40);
  while ((listDir(server->tempDir) != before ||
          client({LPSTAT_PROGRAM, "-W", "not-completed", "-o", "vq"}).out.find(id + " ") !=
              std::string::npos) &&
         Clock::now() < gone)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(listDir(server->tempDir), before) << "job files left behind";
  for (const std::string& capture : captures) EXPECT_FALSE(fileExists(capture)) << capture;
  const std::string got = readFile(server->device);
  if (!got.empty()) {  // whatever reached the printer ends with the trailer
    ASSERT_GE(got.size(), strlen(kTrailer));
    EXPECT_EQ(got.substr(got.size() - strlen(kTrailer)), kTrailer);
  }
}

}  // namespace
