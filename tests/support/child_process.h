// Runs a program the way a spooler does, for every test that starts one:
// argv, environment, working directory, another user; standard input fed by
// a writer thread (any length, held open on request) or a file; standard
// output read through a pipe by a reader that may quit early, pause, or never
// exist, or written to a file or a descriptor the test holds.
// Exit status, signal and peak resident size come back with the result.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

enum class Output {
  Collect,       // read everything into `out`
  ReaderQuits,   // read `readerAfter` bytes, then close the pipe (a dropped printer)
  ReaderPauses,  // read `readerAfter` bytes, then stop reading until resumeOutput
  Closed,        // descriptor 1 closed in the child
  File,          // written to `outputFile`
  Descriptor,    // written to `outputFd` (a pipe the test holds, say)
};

// An environment value that removes the variable instead of setting it.
extern const char* const kUnset;

struct ChildSpec {
  std::string program;
  std::string argv0;  // argument 0; the program path when empty
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;  // set (or kUnset) on top of ours
  std::string cwd;                                       // working directory ("" = ours)
  std::string input;      // standard input, unless inputWriter or inputFile is set
  std::string inputFile;  // file opened as standard input
  // Writes standard input to the descriptor; returning closes it. Runs on a
  // thread of its own; write errors (the child gone) must end it.
  std::function<void(int fd)> inputWriter;
  bool holdInputOpen = false;  // keep standard input open until finishChild
  Output output = Output::Collect;
  size_t readerAfter = 0;  // bytes read before the reader quits or pauses
  std::string outputFile;  // for Output::File
  int outputFd = -1;       // for Output::Descriptor
  // Standard error goes to this file, which stays; when empty, to a
  // temporary file that finishChild removes.
  std::string errorFile;
  uid_t uid = 0;  // run as this user and group when non-zero
  gid_t gid = 0;
};

struct ChildResult {
  int exitStatus = -1;  // exit code, or -1 when a signal ended it
  int signal = 0;
  std::string out;
  std::string err;
  int64_t maxRssKiB = 0;
};

// A running child. Standard output is read into `out` by a thread;
// `outBytes` counts what arrived so far, `outText()` copies it.
struct Child {
  pid_t pid = -1;
  int inFd = -1;
  int outFd = -1;
  std::string errFile;
  bool ownErrFile = false;  // a temporary file, removed by finishChild
  std::thread writer;
  std::thread reader;
  std::atomic<size_t> outBytes{0};
  std::atomic<bool> readerDone{false};
  std::mutex outLock;
  std::condition_variable resumed;
  bool resume = false;
  std::string out;

  std::string outText();
  std::string errText() const;  // standard error so far
  // Lets a paused reader read on to the end.
  void resumeOutput();
};

bool startChild(const ChildSpec& runSpec, Child* child);
// Closes a held standard input, resumes a paused reader, waits for the child
// and both threads.
ChildResult finishChild(Child* child);
ChildResult runChild(const ChildSpec& runSpec);
// A ChildSpec for `argv` (argv[0] the program) with `env` set on top of
// ours and standard input read from `inputFile` (/dev/null when "").
ChildSpec commandSpec(const std::vector<std::string>& argv,
                      const std::vector<std::pair<std::string, std::string>>& env = {},
                      const std::string& inputFile = "");

// `command` run by /bin/sh in `dir`, with TMPDIR=`dir` and `stdinFile` (""
// for none) as standard input.
ChildResult runShell(const std::string& dir, const std::string& command,
                     const std::string& stdinFile = "");
// Single-quoted for the shell.
std::string shellQuoted(const std::string& text);

// Checks `condition` every few milliseconds until it holds and returns true;
// returns false as soon as the process `watched` (when given) has ended with
// the condition still false. There is no time limit: CTest's timeout is the
// only guard against a condition that never comes.
bool waitFor(const std::function<bool()>& condition, pid_t watched = -1);
// The state letter of a process or thread from /proc ('R', 'S', 'T' stopped,
// 'Z' dead but not reaped), or 0 when there is none.
char processState(pid_t pid);
// True when every thread of the process `pid` but `except` (a thread id, 0
// for none) is asleep ('S'): it waits for something (input, a child, an
// event, a lock) and runs no code of its own.
bool processIdle(pid_t pid, pid_t except = 0);
// True while a process with this id exists and is not a zombie.
bool processAlive(pid_t pid);
// The process id written in `file`, or -1 while it is empty or absent.
pid_t pidFrom(const std::string& file);
