// Runs vormel on one job: feeds the job to its standard input, relays its
// printer stream to standard output, reports each page sent, and forwards a
// cancellation. Called once by the front end's main.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Seconds from a cancellation (or a failure that stops the job) that vormel
// and the printer are given to finish: vormel to send the page under way
// and its trailer, the printer to take them. After that vormel is killed,
// whatever the printer has not taken is dropped, and the front end returns.
// Shorter than the spooler's wait before it kills the filter.
constexpr int kCancelGraceSeconds = 20;

// Most bytes of vormel's output held for a printer that lags behind while
// the job winds down; more than that, and nothing more is sent.
constexpr size_t kWindDownHoldLimit = size_t(4) << 20;

struct RelayResult {
  int exitStatus = -1;        // vormel's exit status, or -1 when it did not exit normally
  int signalNumber = 0;       // the signal that ended vormel, or 0
  int pagesSent = 0;          // pages whose "PRINT" line reached standard output
  bool cancelled = false;     // a cancel signal arrived during the job
  bool outputFailed = false;  // writing to standard output failed; vormel was stopped
  int outputError = 0;        // errno of that failure
  bool inputFailed = false;   // reading the job failed; vormel was stopped
  int inputError = 0;         // errno of that failure
  bool streamCut = false;     // part of vormel's stream was never written to the printer
  bool startFailed = false;   // vormel could not be started
  std::string heldText;  // output withheld from the printer because it was not a printer stream
};

// Starts `program` with `words` as its arguments (argument 0 is `program`),
// with `jobLead`, then the job read from `inputFd` (none when it is -1), then
// `jobTrailer` on a line of its own on its standard input. Relays vormel's standard output to ours,
// which is made non-blocking for the run (its flags are restored before returning), so that no
// write to a stalled printer holds the front end. Writes "PAGE: n 1" and an "INFO: " line to
// standard error as each page has gone out. Output that does not begin as a printer stream is
// withheld until vormel has exited and then written only if it exited with status 0. `signalFd` is
// the notification pipe of installRelaySignals. On a cancel, a read error on the job or a write
// error on the printer, the job input is closed and SIGTERM is forwarded to vormel; what vormel
// still writes keeps being read (so it can finish and clean up) and relayed as far as the printer
// takes it, within kCancelGraceSeconds. Returns once vormel has been waited for; fills `result`.
void relayJob(const char* program, const std::vector<std::string>& words,
              const std::string& jobLead, int inputFd, const std::string& jobTrailer, int signalFd,
              RelayResult& result);
