// Runs a program the way a spooler does, with the faults the hardening tests
// need around it: standard input fed by a writer thread (any length, held open
// on request), standard output read through a pipe by a reader that may quit
// early or never exist, another user, resource limits, and signals sent while
// it runs. Peak memory and wall time come back with the result.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

enum class Output { Collect, ReaderQuits, Closed };

struct ChildSpec {
  std::string program;
  std::string argv0;  // argument 0; the program path when empty
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;  // set on top of ours
  std::string input;  // standard input, unless inputWriter is set
  // Writes standard input to the descriptor; returning closes it. Runs on a
  // thread of its own; write errors (the child gone) must end it.
  std::function<void(int fd)> inputWriter;
  bool holdInputOpen = false;  // keep standard input open until finishChild
  Output output = Output::Collect;
  size_t readerQuitsAfter = 0;  // bytes read before the reader goes away
  uid_t uid = 0;                // run as this user and group when non-zero
  gid_t gid = 0;
};

struct ChildResult {
  int exitStatus = -1;  // exit code, or -1 when a signal ended it
  int signal = 0;
  std::string out;
  std::string err;
  int64_t maxRssKiB = 0;
  double seconds = 0;
};

// A running child. Standard output is read into `out` by a thread; `outBytes`
// counts what arrived so far.
struct Child {
  pid_t pid = -1;
  int inFd = -1;
  int outFd = -1;
  int errFd = -1;
  std::string errFile;
  std::thread writer;
  std::thread reader;
  std::atomic<size_t> outBytes{0};
  std::string out;
  double startTime = 0;
};

bool startChild(const ChildSpec& runSpec, Child* child);
// Closes a held standard input, waits for the child and both threads.
ChildResult finishChild(Child* child);
ChildResult runChild(const ChildSpec& runSpec);

// Polls `condition` every few milliseconds for up to `seconds`.
bool waitFor(const std::function<bool()>& condition, double seconds);
// True while a process with this id exists and is not a zombie.
bool processAlive(pid_t pid);
double nowSeconds();
