// A printer application server of a test binary's own: on a free loopback
// port, with one printer per model asked for on a file device of its own
// directory. Started before the binary's first test and stopped after its
// last; it runs under timeout(1), so it ends by itself should the test die.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "cups_test_support.h"
#include "inspect/job_stream_parser.h"
#include "test_files.h"

struct AppServer {
  std::unique_ptr<ScratchDir> dir;
  std::string host;  // 127.0.0.1:port
  std::string app;   // the program, linked under a name of this run
  std::vector<std::pair<std::string, std::string>> env;  // for the program and its subcommands
  Child process;
  std::string problem;  // why the server is not there
};

// Starts the server in a new scratch directory tagged `tag`, adding a printer
// "label<dpi>" for each of `dpis` on the device directory <dir>/dev<dpi>.
// Sets `problem` when something fails.
void startAppServer(AppServer& server, const std::string& tag, const std::vector<int>& dpis);

// Stops the server with SIGTERM and waits for it.
void stopAppServer(AppServer& server);

// Starts the stopped `server` again in its directory with the same state
// file, on a new free port; its printers are those the state file holds.
// Sets `problem` when it does not come up.
void restartAppServer(AppServer& server);

// The program run with `args` (a subcommand such as "add" or "jobs").
ChildResult runApp(const AppServer& server, const std::vector<std::string>& args);

// The IPP address of the printer `printer` of `server`.
std::string appPrinterUri(const AppServer& server, const std::string& printer);

// Runs ipptool with `options` on `uri` and the test file `testFile` of
// tests/printer_app/ipp; true when it ran the file through and every test
// in it passed. Its output goes to `out`.
bool runIppTest(const std::string& uri, const std::string& testFile,
                const std::vector<std::string>& options, std::string& out);

// A device file read back with the inspector's parser: whether it is a whole
// stream (else where and why not), its report, and each page's image.
struct PrintedStream {
  bool valid = false;
  StreamError error;
  JobReport report;
  std::vector<std::string> images;
};
PrintedStream readPrinted(const std::string& stream);

// One server for all tests of a binary: started before the first, stopped
// after the last; `*slot` points at it meanwhile.
class AppServerEnvironment : public ::testing::Environment {
 public:
  AppServerEnvironment(AppServer** slot, std::string tag, std::vector<int> dpis)
      : slot_(slot), tag_(std::move(tag)), dpis_(std::move(dpis)) {}
  void SetUp() override {
    *slot_ = new AppServer;
    startAppServer(**slot_, tag_, dpis_);
  }
  void TearDown() override {
    stopAppServer(**slot_);
    delete *slot_;
    *slot_ = nullptr;
  }

 private:
  AppServer** slot_;
  std::string tag_;
  std::vector<int> dpis_;
};
