// What only the spooler tests need: a private scheduler, a free loopback
// port, lines counted. Processes, scratch directories, files and byte
// comparison come from the one harness in tests/support.
#pragma once

#include <memory>
#include <string>

#include "byte_diff.h"
#include "child_process.h"
#include "run_conditions.h"
#include "test_files.h"

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
  std::string outDir;              // for the file: devices of the test's queues
  std::unique_ptr<Child> process;  // cupsd under timeout(1)
};

// Writes the configuration and starts cupsd in the foreground (ended by
// itself after half an hour at the latest); returns ""
// once lpstat finds it running, else why it is not (it may still run: stop
// it with stopScheduler).
std::string startScheduler(const SchedulerSetup& setup, Scheduler& s);

// Stops the scheduler (SIGTERM) and waits for it.
void stopScheduler(Scheduler& s);

// Number of lines of `text` equal to `line` (line feeds separate lines).
int countLines(const std::string& text, const std::string& line);
