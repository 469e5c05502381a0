// Runs vormel on one job: feeds the job to its standard input, relays its
// printer stream to standard output, reports each page sent, and forwards a
// cancellation. Called once by the front end's main.
#pragma once

#include <string>
#include <vector>

// Seconds vormel is given to finish the page it is sending and write its
// trailer after a cancellation, before it is killed.
constexpr int kCancelGraceSeconds = 20;

struct RelayResult {
  int exitStatus;      // vormel's exit status, or -1 when it did not exit normally
  int signalNumber;    // the signal that ended vormel, or 0
  int pagesSent;       // pages whose "PRINT" line reached standard output
  bool cancelled;      // SIGTERM arrived during the job
  bool outputFailed;   // writing to standard output failed; vormel was stopped
  bool startFailed;    // vormel could not be started
  std::string heldText;  // output withheld from the printer because it was not a printer stream
};

// Starts `program` with `words` as its arguments (argument 0 is `program`),
// with the job read from `inputFd` and then `jobTrailer` on its standard
// input. Relays vormel's standard output to ours; writes "PAGE: n 1" and an
// "INFO: " line to standard error as each page has gone out. Output that
// does not begin as a printer stream is withheld until vormel has exited and
// then written only if it exited with status 0. `cancelFd` is the read end
// of the cancellation pipe: on SIGTERM the job input is closed, SIGTERM is
// forwarded to vormel, its remaining output is still relayed, and vormel is
// killed if it has not exited after kCancelGraceSeconds. Returns when vormel
// has exited; fills `result`.
void relayJob(const char* program, const std::vector<std::string>& words, int inputFd,
              const std::string& jobTrailer, int cancelFd, RelayResult& result);
