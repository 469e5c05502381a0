// Shared pieces of the hardening tests: where the program and the stand-ins
// for gs are, a job set up in private directories, and the checks every fault
// ends with (a complete printer stream, the files a run leaves).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "job_support.h"

std::string vormelBin();
std::string stubGsDir();   // tests/support: pages from the environment
std::string faultGsDir();  // tests/hardening/fault_gs: slow, failing, dying gs
// PATH with the given gs directory first ("" for the system's real gs).
std::string pathFor(const std::string& gsDir);

// A job's private work directory (TMPDIR) and capture directory (-dir).
struct JobPlace {
  ScratchDir work{"vhw"};
  ScratchDir capture{"vhc"};
};

// vormel with TMPDIR and -dir pointing into `place`, then `args`.
ChildSpec jobSpec(const JobPlace& place, const std::vector<std::string>& args,
                  const std::string& input, const std::string& gsDir,
                  const std::vector<std::pair<std::string, std::string>>& env = {});

// "" when `out` is a whole printer stream: setup block first, every page
// framed from REPEAT to PRINT with its bands adding up, the trailer last.
// Otherwise what is wrong. Fills `parsed` when given.
std::string streamProblem(const std::string& out, ParsedStream* parsed = nullptr);

// The page bytes of a stream, one string per page.
std::vector<std::string> streamPages(const std::string& out);

// A PostScript job of `pages` pages with a bounding box, drawn by real gs.
std::string postscriptJob(int pages, int width = 288, int length = 144);

// Bytes for page images: compressible (`kind` 0), random (1), mixed (2).
std::string imageBytes(int kind, size_t size, unsigned seed);

// uid/gid of the unprivileged user "nobody"; false when there is none.
bool nobodyUser(uid_t* uid, gid_t* gid);
