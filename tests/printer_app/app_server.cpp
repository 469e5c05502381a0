// Starts and stops a printer application server for a test binary.
#include "app_server.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kIppTests = std::string(VORMEL_SOURCE_DIR) + "/tests/printer_app/ipp";

// Runs the server of `server`'s directory on a new free port and waits
// until it answers IPP; false, with `problem` set, when it does not.
bool runServer(AppServer& server) {
  const std::string& d = server.dir->path;
  const int port = freeLoopbackPort();
  if (port == 0) {
    server.problem = "no free loopback port";
    return false;
  }
  server.host = "127.0.0.1:" + std::to_string(port);
  ChildSpec runSpec = commandSpec(
      {"/usr/bin/timeout", "900", server.app, "server", "-o", "server-port=" + std::to_string(port),
       "-o", "listen-hostname=127.0.0.1", "-o", "spool-directory=" + d + "/spool", "-o",
       "log-file=" + d + "/log", "-o", "log-level=info", "-o", "state-file=" + d + "/state"},
      server.env);
  runSpec.output = Output::File;
  runSpec.outputFile = d + "/out";
  runSpec.errorFile = d + "/err";
  if (!startChild(runSpec, &server.process)) {
    server.problem = "cannot start the server";
    return false;
  }
  // Up once it answers IPP.
  const bool up = waitFor(
      [&] {
        return runChild(commandSpec({IPPTOOL, "-q", "ipp://" + server.host + "/ipp/system",
                                     kIppTests + "/system-up.test"}))
                   .exitStatus == 0;
      },
      server.process.pid);
  if (!up) {
    server.problem = "the server did not come up: " + readFile(d + "/err") + readFile(d + "/log");
    return false;
  }
  return true;
}

}  // namespace

void startAppServer(AppServer& server, const std::string& tag, const std::vector<int>& dpis) {
  server.dir.reset(new ScratchDir(tag, 0755));
  const std::string& d = server.dir->path;
  for (const char* sub : {"/tmp", "/spool"}) mkdir((d + sub).c_str(), 0755);
  // A name of this run: the program's local socket is named after it.
  server.app = d + "/vormel-printer-app-" + tag + std::to_string(getpid());
  if (symlink(VORMEL_PRINTER_APP, server.app.c_str()) != 0) {
    server.problem = "cannot link the program";
    return;
  }
  server.env = {{"VORMEL_PROGRAM", VORMEL_BIN},
                {"VORMEL_PAGE_STREAM_PROGRAM", VORMEL_PAGE_STREAM},
                {"TMPDIR", d + "/tmp"}};
  if (!runServer(server)) return;
  for (int dpi : dpis) {
    const std::string device = d + "/dev" + std::to_string(dpi);
    mkdir(device.c_str(), 0755);
    const ChildResult added =
        runApp(server, {"add", "-d", "label" + std::to_string(dpi), "-m",
                        "vormel_" + std::to_string(dpi), "-v", "file://" + device});
    if (added.exitStatus != 0) server.problem = "adding a printer failed: " + added.out + added.err;
  }
}

void stopAppServer(AppServer& server) {
  if (server.process.pid <= 0) return;
  // timeout(1) hands SIGTERM on; the server shuts down on it at once.
  kill(server.process.pid, SIGTERM);
  finishChild(&server.process);
  server.process.pid = -1;
}

void restartAppServer(AppServer& server) {
  stopAppServer(server);
  runServer(server);
}

ChildResult runApp(const AppServer& server, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {server.app};
  argv.insert(argv.end(), args.begin(), args.end());
  return runChild(commandSpec(argv, server.env));
}

std::string appPrinterUri(const AppServer& server, const std::string& printer) {
  return "ipp://" + server.host + "/ipp/print/" + printer;
}

bool runIppTest(const std::string& uri, const std::string& testFile,
                const std::vector<std::string>& options, std::string& out) {
  std::vector<std::string> argv = {IPPTOOL, "-t", "-T", "60"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(uri);
  argv.push_back(kIppTests + "/" + testFile);
  const ChildResult r = runChild(commandSpec(argv));
  out = r.out + r.err;
  // ipptool exits with 0 also when it cannot read the file.
  return r.exitStatus == 0 && r.out.find("[PASS]") != std::string::npos &&
         r.out.find("[FAIL]") == std::string::npos && r.err.find("ipptool:") == std::string::npos;
}

PrintedStream readPrinted(const std::string& stream) {
  PrintedStream p;
  p.valid = parseJobStream(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                           &p.report, &p.error,
                           [&p](const PageInfo&, const std::vector<uint8_t>& image, std::string*) {
                             p.images.emplace_back(image.begin(), image.end());
                             return true;
                           });
  return p;
}
