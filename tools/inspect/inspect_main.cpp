// vormel-inspect: reads a printer job stream written by vormel (a file or
// standard input) as it arrives, checks it the way the printer reads it,
// checks every page image against the label, and reports the settings and
// pages, optionally extracting every page image.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/label_fit.h"
#include "inspect/page_images.h"
#include "inspect/printable_text.h"
#include "inspect/report_writer.h"

namespace {

constexpr int kExitValid = 0;
constexpr int kExitInvalid = 1;     // the stream breaks a rule, or a page does not fit
constexpr int kExitNotChecked = 2;  // usage, files, a page too large, memory

struct Options {
  std::string input = "-";
  std::string extractDir;
  bool json = false;
  bool help = false;
};

const char kUsage[] =
    "Usage: vormel-inspect [--json] [--extract DIR] [FILE|-]\n"
    "Reads a printer job stream written by vormel from FILE, or from standard input\n"
    "when FILE is - or missing, checks every command, count and compressed band and\n"
    "every page image against the label, and prints the job's settings and pages.\n"
    "\n"
    "  --json          print the report as one JSON object\n"
    "  --extract DIR   write each page image to DIR as page-N.pcx and page-N.png\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 valid stream, 1 invalid stream or a page that does not fit the\n"
    "label, 2 usage or file error, a page too large to check, or out of memory.\n";

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
      *message = "unknown option " + printableText(arg);
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

// Opens the input (standard input for "-"). Returns null with a printable
// `message` when it cannot be opened.
FILE* openInput(const std::string& path, std::string* message) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) *message = "cannot open " + printableText(path) + ": " + std::strerror(errno);
  return f;
}

// The sink that handles each page as soon as the parser has read it:
// measures and extracts its image, checks it against the label, writes its
// part of the report, and names each label fault on standard error. Nothing
// of a page is kept once it is written.
PageSink makeReportingSink(PageImageContext* images, InspectResult* result, ReportWriter* writer) {
  return [=](const PageInfo& page, const std::vector<uint8_t>& bytes, std::string* message) {
    PageImageInfo info;
    const bool taken = takePageImage(images, page, bytes, &info, message);
    std::vector<std::string> faults;
    if (info.measured) faults = findLabelFaults(result->job, info.image);
    writeReportPage(writer, result->job, page, &info, faults);
    for (const std::string& fault : faults)
      std::fprintf(stderr, "vormel-inspect: %s: byte %zu: page %d: %s\n",
                   printableText(result->source).c_str(), page.streamOffset, page.number,
                   fault.c_str());
    if (!faults.empty()) ++result->pagesNotFitting;
    return taken;
  };
}

// Names a write failure or the fault that ended the parse on standard error
// (label faults were named page by page) and gives the exit status.
int finish(const InspectResult& result, const PageImageContext& images) {
  if (!images.ioError.empty()) {
    std::fprintf(stderr, "vormel-inspect: %s\n", images.ioError.c_str());
    return kExitNotChecked;
  }
  if (!result.wellFormed) {
    std::fprintf(stderr, "vormel-inspect: %s: byte %zu: %s\n", printableText(result.source).c_str(),
                 result.error.offset, result.error.message.c_str());
    return result.error.kind == StreamErrorKind::kInvalid ? kExitInvalid : kExitNotChecked;
  }
  return isValid(result) ? kExitValid : kExitInvalid;
}

int inspect(int argc, char** argv) {
  Options opt;
  std::string message;
  if (!parseArguments(argc, argv, &opt, &message)) {
    std::fprintf(stderr, "vormel-inspect: %s\n%s", message.c_str(), kUsage);
    return kExitNotChecked;
  }
  if (opt.help) {
    std::fputs(kUsage, stdout);
    return kExitValid;
  }
  FILE* in = openInput(opt.input, &message);
  if (!in || (!opt.extractDir.empty() && !prepareExtractDir(opt.extractDir, &message))) {
    if (in && in != stdin) std::fclose(in);
    std::fprintf(stderr, "vormel-inspect: %s\n", message.c_str());
    return kExitNotChecked;
  }

  PageImageContext images;
  images.extractDir = opt.extractDir;
  InspectResult result;
  result.source = opt.input;
  ReportWriter writer;
  writer.out = stdout;
  writer.json = opt.json;
  writer.source = opt.input;
  result.wellFormed = parseJobStream(in, &result.job, &result.error,
                                     makeReportingSink(&images, &result, &writer), false);
  if (in != stdin) std::fclose(in);
  writeReportEnd(&writer, result);
  std::fflush(stdout);
  return finish(result, images);
}

}  // namespace

// Every failure to get memory ends the run here with a message: a page is
// refused for its announced size before it is read, but the machine may
// still have less memory than a page within the limits needs.
int main(int argc, char** argv) {
  try {
    return inspect(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("vormel-inspect: out of memory\n", stderr);
    return kExitNotChecked;
  }
}
