// vormel-inspect: reads a printer job stream written by vormel (a file or
// standard input), checks it the way the printer reads it, and reports the
// settings and pages, optionally extracting every page image.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/page_images.h"
#include "inspect/report_writer.h"

namespace {

constexpr int kExitValid = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

struct Options {
  std::string input = "-";
  std::string extractDir;
  bool json = false;
  bool help = false;
};

const char kUsage[] =
    "Usage: vormel-inspect [--json] [--extract DIR] [FILE|-]\n"
    "Reads a printer job stream written by vormel from FILE, or from standard input\n"
    "when FILE is - or missing, checks every command, count and compressed band, and\n"
    "prints the job's settings and pages.\n"
    "\n"
    "  --json          print the report as one JSON object\n"
    "  --extract DIR   write each page image to DIR as page-N.pcx and page-N.png\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 valid stream, 1 invalid stream, 2 usage or file error.\n";

// Returns false with `message` for a malformed command line.
bool parseArguments(int argc, char** argv, Options* opt, std::string* message) {
  bool haveInput = false;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!onlyFiles && arg == "--") {
      onlyFiles = true;
    } else if (!onlyFiles && (arg == "-h" || arg == "--help")) {
      opt->help = true;
    } else if (!onlyFiles && arg == "--json") {
      opt->json = true;
    } else if (!onlyFiles && arg == "--extract") {
      if (i + 1 >= argc) {
        *message = "--extract needs a directory";
        return false;
      }
      opt->extractDir = argv[++i];
    } else if (!onlyFiles && arg.compare(0, 10, "--extract=") == 0) {
      opt->extractDir = arg.substr(10);
    } else if (!onlyFiles && arg.size() > 1 && arg[0] == '-') {
      *message = "unknown option " + arg;
      return false;
    } else if (haveInput) {
      *message = "only one input file may be given";
      return false;
    } else {
      opt->input = arg;
      haveInput = true;
    }
  }
  if (opt->extractDir.empty() && !opt->help) {
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], "--extract=") == 0) {
        *message = "--extract needs a directory";
        return false;
      }
  }
  return true;
}

// Reads the whole input. Returns false with `message` when it cannot.
bool readInput(const std::string& path, std::vector<uint8_t>* data, std::string* message) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) {
    *message = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data->insert(data->end(), chunk, chunk + n);
  const bool failed = std::ferror(f) != 0;
  if (f != stdin) std::fclose(f);
  if (failed) {
    *message = "cannot read " + path;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::string message;
  if (!parseArguments(argc, argv, &opt, &message)) {
    std::fprintf(stderr, "vormel-inspect: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
  }
  if (opt.help) {
    std::fputs(kUsage, stdout);
    return kExitValid;
  }
  std::vector<uint8_t> data;
  if (!readInput(opt.input, &data, &message) ||
      (!opt.extractDir.empty() && !prepareExtractDir(opt.extractDir, &message))) {
    std::fprintf(stderr, "vormel-inspect: %s\n", message.c_str());
    return kExitUsage;
  }

  PageImageContext pages;
  pages.extractDir = opt.extractDir;
  InspectResult result;
  result.source = opt.input;
  result.valid = parseJobStream(data.data(), data.size(), &result.job, &result.error,
                                makePageSink(&pages));
  result.images = pages.images;

  if (opt.json) {
    printJson(stdout, result);
  } else {
    printSummary(stdout, result);
  }
  std::fflush(stdout);
  if (!pages.ioError.empty()) {
    std::fprintf(stderr, "vormel-inspect: %s\n", pages.ioError.c_str());
    return kExitUsage;
  }
  if (!result.valid) {
    std::fprintf(stderr, "vormel-inspect: %s: byte %zu: %s\n", opt.input.c_str(),
                 result.error.offset, result.error.message.c_str());
    return kExitInvalid;
  }
  return kExitValid;
}
