// The test harness of vormel, in one header: scratch directories and files,
// the process runner, the byte diff, the stream oracle, the stub gs and its
// holds; and for the job tests a job set up in private directories, standard
// output of in-process calls caught, and the job globals reset.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "byte_diff.h"
#include "child_process.h"
#include "run_conditions.h"
#include "stream_oracle.h"
#include "stub_gs.h"
#include "test_files.h"

using Env = std::vector<std::pair<std::string, std::string>>;

// The vormel program under test.
std::string vormelBin();

// A job's private work directory (TMPDIR) and capture directory (-dir).
struct JobPlace {
  ScratchDir work{"vtw"};
  ScratchDir capture{"vtc"};
  // Files left in both directories ("work/..." and "capture/...").
  std::vector<std::string> left() const;
};

// vormel with TMPDIR and -dir pointing into `place`, then `args`, with PATH
// for `gsDir` (see pathFor) and `env` on top.
ChildSpec jobSpec(const JobPlace& place, const std::vector<std::string>& args,
                  const std::string& input, const std::string& gsDir, const Env& env = {});

// A PostScript job of `pages` pages with a bounding box, drawn by real gs.
std::string postscriptJob(int pages, int width = 288, int length = 144);

// What stub page n holds: "page n" lines cut to `size` bytes.
std::string stubPage(int n, size_t size);

// Bytes for page images: compressible (`kind` 0), random (1), mixed (2).
std::string imageBytes(int kind, size_t size, unsigned seed);

// uid/gid of the unprivileged user "nobody"; false when there is none.
bool nobodyUser(uid_t* uid, gid_t* gid);

// Runs `body` in a forked child as the user nobody and returns its exit code
// (-1 when it cannot be run that way: no user nobody, or not root).
int asNobody(const std::function<int()>& body);

// Catches what in-process code writes to standard output (descriptor 1).
struct StdoutCapture {
  StdoutCapture();
  ~StdoutCapture();
  std::string finish();  // stops catching and returns the bytes
  int savedFd = -1;
  std::string file;
};

// True for "YYYY-MM-DD HH:MM:SS" with plausible fields.
bool isTimeStamp(const std::string& text);

// Points vormel's temporary files into `dir` and resets the job globals that
// the in-process tests rely on (base name "vdqTEST").
void setUpJobGlobals(const std::string& dir);
