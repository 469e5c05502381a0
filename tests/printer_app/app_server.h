// A printer application server of a test binary's own: on a free loopback
// port, with one printer per model asked for on a file device of its own
// directory. Started before the binary's first test and stopped after its
// last; it runs under timeout(1), so it ends by itself should the test die.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "cups_test_support.h"

struct AppServer {
  std::unique_ptr<TestDir> dir;
  std::string host;  // 127.0.0.1:port
  pid_t pid = -1;
  std::string problem;  // why the server is not there
};

// Starts the server in a new test directory tagged `tag`, adding a printer
// "label<dpi>" for each of `dpis` on the device directory <dir>/dev<dpi>.
// Sets `problem` when something fails.
void startAppServer(AppServer& server, const std::string& tag, const std::vector<int>& dpis);

// Stops the server with SIGTERM and waits for it.
void stopAppServer(AppServer& server);

// The IPP address of the printer `printer` of `server`.
std::string appPrinterUri(const AppServer& server, const std::string& printer);

// Runs ipptool with `options` on `uri` and the test file `testFile` of
// tests/printer_app/ipp; true when it ran the file through and every test
// in it passed. Its output goes to `out`.
bool runIppTest(const std::string& uri, const std::string& testFile,
                const std::vector<std::string>& options, std::string& out);
