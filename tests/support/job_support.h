// Helpers for the job tests: scratch directories, running the vormel program
// the way the spooler does (argv, stdin, environment, exit status), catching
// standard output of in-process calls, and reading a printer stream back into
// its fixed text and the bytes of every page.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A fresh directory under /tmp, removed with everything in it on destruction.
struct ScratchDir {
  explicit ScratchDir(const std::string& tag = "vt");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// Names in `dir` (no "." or ".."), sorted.
std::vector<std::string> listDir(const std::string& dir);
void removeTree(const std::string& path);
// The job directory a run of vormel made in `tmpdir` (its temporary
// directory), or "" when there is none.
std::string jobDirIn(const std::string& tmpdir);
// Paths of the page images in that job directory, in page order.
std::vector<std::string> pageImagesIn(const std::string& tmpdir);

// How standard output of the child is connected.
enum class StdoutMode { File, Closed, BrokenPipe };

struct RunSpec {
  std::string program;                  // path; argument 0 is this path too
  std::vector<std::string> args;        // arguments 1..
  std::string input;                    // standard input
  std::vector<std::pair<std::string, std::string>> env;  // set (or, with value "\x01", unset)
  std::string cwd;                      // working directory ("" = inherit)
  StdoutMode stdoutMode = StdoutMode::File;
  size_t brokenPipeAfter = 0;           // bytes read before the pipe's reader goes away
};

struct RunResult {
  int exitStatus = -1;  // exit code, or -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

RunResult runProgram(const RunSpec& runSpec);

// Directory of the stub gs (tests/support) and PATH values with it first, or
// with no gs at all.
std::string stubPath();
std::string pathWithoutGs();

// Catches what in-process code writes to standard output (descriptor 1).
struct StdoutCapture {
  StdoutCapture();
  ~StdoutCapture();
  std::string finish();  // stops catching and returns the bytes
  int savedFd = -1;
  std::string file;
};

// One page of a printer stream: its announced size, the bands' kinds
// ("COMP0", "COMP1", "RAW") and the bytes put back together.
struct StreamPage {
  int32_t announcedSize = 0;
  std::vector<std::string> bandKinds;
  std::vector<uint8_t> bytes;
};

struct ParsedStream {
  // The stream with every band (header line and payload) replaced by "<band>",
  // so that the fixed parts can be compared byte for byte.
  std::string skeleton;
  std::vector<StreamPage> pages;
};

// Reads a printer stream. COMP1 bands are decoded with the band decoder.
// Returns "" on success or what was wrong and where (offset), checking that
// bands are at most 32768 bytes, only the last band of a page is shorter, a
// COMP1 band is shorter than its decoded band, and each page's bands add up to
// its announced size.
std::string parseStream(const std::string& stream, ParsedStream* parsed);

// "" when equal, else the offset of the first difference with hex windows.
std::string describeDifference(const std::string& expected, const std::string& actual);

// True for "YYYY-MM-DD HH:MM:SS" with plausible fields.
bool isTimeStamp(const std::string& text);

// Points vormel's temporary files into `dir` and resets the job globals that
// the job tests rely on (base name "vdqTEST").
void setUpJobGlobals(const std::string& dir);
