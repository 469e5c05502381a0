// Helpers for the spooler tests: scratch directories, files, and running a
// program as the spooler does (argv, environment, standard input from a file,
// standard output and error caught, exit status).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// A fresh directory (mode 0755, so the spooler's user can enter it), removed
// with everything in it on destruction.
struct TestDir {
  explicit TestDir(const std::string& tag);
  ~TestDir();
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;
  std::string path;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes, int mode = 0644);
bool fileExists(const std::string& path);
std::vector<std::string> listDir(const std::string& dir);

struct RunResult {
  int exitStatus = -1;  // -1 when the program did not exit normally
  int signalNumber = 0;
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program path) with `env` added to the current
// environment, standard input from `inputPath` ("" for /dev/null), and waits
// for it to end. CTest's timeout is the only bound on the wait.
RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& env,
                     const std::string& inputPath);

// Starts `argv` in the background like runProgram, with standard output and
// error going to the given files. Returns its pid.
pid_t startProgram(const std::vector<std::string>& argv,
                   const std::vector<std::pair<std::string, std::string>>& env,
                   const std::string& inputPath, const std::string& outPath,
                   const std::string& errPath);

// Like startProgram, with standard output on the descriptor `outFd` (a pipe
// the test holds, for instance).
pid_t startProgramWithOutputFd(const std::vector<std::string>& argv,
                               const std::vector<std::pair<std::string, std::string>>& env,
                               const std::string& inputPath, int outFd, const std::string& errPath);

// Whether `pid`, a child of the test, has ended (it is left to waitProgram).
bool programEnded(pid_t pid);

// Waits for `pid` to end and fills the status fields of `result`. Returns
// false when `pid` is not a child of the test.
bool waitProgram(pid_t pid, RunResult& result);

// Asks `done` again and again, with a short pause between, until it holds:
// the one way the tests wait for a state the spooler reaches (a job's state,
// a file appearing). CTest's timeout is the only bound on the wait.
void pollUntil(const std::function<bool()>& done);

// Text of the first difference between two byte strings (offset and a hex
// window of each), or "" when they are equal.
std::string describeDifference(const std::string& expected, const std::string& actual);

// A port on loopback that nothing listens on right now (0 when none can be had).
int freeLoopbackPort();

// A private CUPS scheduler for tests: loopback only, no browsing, no
// authentication, file: devices allowed; its configuration, spool, cache,
// state, logs and an "out" directory for file: devices all under `root`.
struct SchedulerSetup {
  std::string root;       // an existing scratch directory
  std::string serverBin;  // the scheduler's ServerBin (backends, filters)
  std::string dataDir;    // its DataDir
  std::string cupsd;      // the cupsd program
  std::string lpstat;     // the lpstat program, to see it answer
};

struct Scheduler {
  std::string host;  // 127.0.0.1:port, for every client's -h or CUPS_SERVER
  std::string tempDir, pageLog, errorLog;
  std::string outDir;  // for the file: devices of the test's queues
  pid_t pid = -1;
};

// Writes the configuration and starts cupsd in the foreground (ended by
// itself after half an hour at the latest); returns ""
// once lpstat finds it running, else why it is not (it may still run: stop
// it with stopScheduler).
std::string startScheduler(const SchedulerSetup& setup, Scheduler& s);

// Stops the scheduler (SIGTERM, then SIGKILL after 15 s) and waits for it.
void stopScheduler(Scheduler& s);

// Number of lines of `text` equal to `line` (line feeds separate lines).
int countLines(const std::string& text, const std::string& line);
