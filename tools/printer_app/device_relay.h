// Runs one of the package's programs (vormel, vormel-page-stream) for a job
// and copies its printer stream to the job's device. Used by the driver for
// every kind of job it renders.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

struct DeviceRelayResult {
  int exitStatus = -1;        // the program's exit status, or -1 when it did not exit normally
  int pagesSent = 0;          // pages whose "PRINT" line was written to the device
  bool startFailed = false;   // the program could not be started
  bool deviceFailed = false;  // a write to the device failed; the program was stopped
  bool cancelled = false;     // the job was cancelled while the program ran
  std::string errorText;      // the program's first "ERROR: " line, without the prefix
};

// Starts `arguments[0]` with `arguments` as its argument vector, standard
// input from `inputFd` and standard output on a pipe; copies everything it
// writes to `device`; when `countPages` is set, each page is added to the
// job's completed impressions as its "PRINT" line goes out (raster pages
// are counted by PAPPL as they arrive). Output that does not begin as a
// printer stream never reaches the device. A cancelled job or a failed device write
// sends SIGTERM to the program (which still completes the stream it has
// begun); after a failed write nothing more is written. Returns once the
// program has been waited for; true when it exited with status 0 and every
// byte reached the device.
bool relayToDevice(pappl_job_t* job, pappl_device_t* device,
                   const std::vector<std::string>& arguments, int inputFd, bool countPages,
                   DeviceRelayResult& result);

// One sentence for the job's message and log on a failed relay.
std::string describeRelayFailure(const DeviceRelayResult& result);
