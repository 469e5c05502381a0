// vormel-inspect as a user runs it: arguments, standard input, exit
// statuses, messages, and the files --extract leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "job_support.h"
#include "stream_builder.h"

namespace {

const std::string kInspect = VORMEL_INSPECT_BIN;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Checks that `text` is one JSON value (and a line feed): the grammar, with
// every string escape well formed and no raw control character in a string.
struct JsonCheck {
  explicit JsonCheck(const std::string& json) : text(json) {}
  const std::string& text;
  size_t pos = 0;
  std::string why;

  bool failAt(const char* what) {
    why = std::string(what) + " at byte " + std::to_string(pos);
    return false;
  }
  void skipSpace() {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  }
  bool literal(const char* word) {
    const std::string w = word;
    if (text.compare(pos, w.size(), w) != 0) return failAt("unknown literal");
    pos += w.size();
    return true;
  }
  bool string() {
    ++pos;  // the opening quote
    while (pos < text.size() && text[pos] != '"') {
      const unsigned char ch = static_cast<unsigned char>(text[pos]);
      if (ch < 0x20) return failAt("raw control character in a string");
      if (ch == '\\') {
        ++pos;
        if (pos >= text.size()) return failAt("escape at the end");
        const char e = text[pos];
        if (e == 'u') {
          for (int i = 1; i <= 4; ++i)
            if (pos + i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[pos + i])))
              return failAt("\\u without four hex digits");
          pos += 4;
        } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
          return failAt("unknown escape");
        }
      }
      ++pos;
    }
    if (pos >= text.size()) return failAt("unended string");
    ++pos;
    return true;
  }
  bool number() {
    const size_t start = pos;
    if (text[pos] == '-') ++pos;
    while (pos < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[pos])) || text[pos] == '.' ||
            text[pos] == 'e' || text[pos] == 'E' || text[pos] == '+' || text[pos] == '-'))
      ++pos;
    return pos > start && std::isdigit(static_cast<unsigned char>(text[pos - 1]))
               ? true
               : failAt("bad number");
  }
  bool value() {
    skipSpace();
    if (pos >= text.size()) return failAt("missing value");
    const char c = text[pos];
    if (c == '"') return string();
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++pos;
      skipSpace();
      if (pos < text.size() && text[pos] == close) return ++pos, true;
      for (;;) {
        if (c == '{') {
          skipSpace();
          if (pos >= text.size() || text[pos] != '"' || !string()) return failAt("expected a key");
          skipSpace();
          if (pos >= text.size() || text[pos] != ':') return failAt("expected ':'");
          ++pos;
        }
        if (!value()) return false;
        skipSpace();
        if (pos < text.size() && text[pos] == ',') {
          ++pos;
        } else if (pos < text.size() && text[pos] == close) {
          return ++pos, true;
        } else {
          return failAt("expected ',' or a closing bracket");
        }
      }
    }
    if (c == 't') return literal("true");
    if (c == 'f') return literal("false");
    if (c == 'n') return literal("null");
    return number();
  }
};

// "" when `text` is one JSON value followed by a line feed, else why not.
std::string jsonProblem(const std::string& text) {
  JsonCheck check(text);
  if (!check.value()) return check.why;
  if (text.compare(check.pos, std::string::npos, "\n") != 0) return "more after the value";
  return "";
}

// The first byte of `text` that could act on a terminal (anything but
// printable ASCII and the line feed), or -1.
int firstRawControl(const std::string& text) {
  for (const unsigned char ch : text)
    if ((ch < 0x20 && ch != '\n') || ch >= 0x7F) return ch;
  return -1;
}

// How a run is held to a memory limit: the address space of the program
// (all of it, library code included). An AddressSanitizer build reserves
// far more address space than any limit allows, so there each single
// allocation is held to the limit instead.
std::string underMemoryLimit(const std::string& command, size_t megabytes) {
  if (kAddressSanitizer)
    return "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}max_allocation_size_mb=" +
           std::to_string(megabytes) + "\" " + command;
  return "prlimit --as=" + std::to_string(megabytes << 20) + " -- " + command;
}

// PNG width and height from the IHDR chunk (bytes 16..23, big-endian).
void pngSize(const std::vector<uint8_t>& png, uint32_t* w, uint32_t* h) {
  ASSERT_GE(png.size(), 24u);
  ASSERT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  *w = png[16] << 24 | png[17] << 16 | png[18] << 8 | png[19];
  *h = png[20] << 24 | png[21] << 16 | png[22] << 8 | png[23];
}

class InspectCli : public ::testing::Test {
 protected:
  void SetUp() override {
    StreamParts parts;
    parts.paperItems = ";CUT 3;LABELS 2;SPEED IPS 6";
    page = makePcx(300, 90, 1);
    writeFileBytes(dir + "/job.prn", buildStream(parts, {page, {}}));
    std::vector<uint8_t> bad = buildStream(parts, {page});
    bad.resize(bad.size() - 20);
    writeFileBytes(dir + "/cut.prn", bad);
  }
  ScratchDir scratch{"vti"};
  const std::string dir = scratch.path;
  std::vector<uint8_t> page;
};

TEST_F(InspectCli, exit_status_tells_valid_invalid_and_usage_apart) {
  struct Row {
    const char* args;
    const char* stdinFile;
    int status;
    const char* inOut;
    const char* inErr;
  };
  const std::vector<Row> table = {
      {"--help", "", 0, "Usage: vormel-inspect", ""},
      {"job.prn", "", 0, "Stream is valid.", ""},
      {"-", "job.prn", 0, "Paper line: ~PAPER;CUT 3;LABELS 2;SPEED IPS 6", ""},
      {"", "job.prn", 0, "cut after every 3 labels", ""},
      {"--json job.prn", "", 0, "\"valid\":true", ""},
      {"cut.prn", "", 1, "Stream is INVALID at byte", "cut.prn: byte "},
      {"--json -", "cut.prn", 1, "\"valid\":false,", "expected"},
      {"--frobnicate job.prn", "", 2, "", "unknown option --frobnicate"},
      {"job.prn job.prn", "", 2, "", "only one input file"},
      {"--extract", "", 2, "", "--extract needs a directory"},
      {"missing.prn", "", 2, "", "cannot open missing.prn"},
      {"--extract job.prn job.prn", "", 2, "", "is not a directory"},
  };
  for (const Row& row : table) {
    const std::string in = *row.stdinFile ? dir + "/" + row.stdinFile : "";
    const ChildResult run = runShell(dir, kInspect + " " + row.args, in);
    EXPECT_EQ(run.exitStatus, row.status) << row.args << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(row.inOut), std::string::npos) << row.args << ": " << run.out;
    EXPECT_NE(run.err.find(row.inErr), std::string::npos) << row.args << ": " << run.err;
    if (row.status == 0) {
      EXPECT_TRUE(run.err.empty()) << row.args << ": " << run.err;
    }
  }
}

TEST_F(InspectCli, extract_writes_each_page_as_pcx_and_png) {
  const ChildResult run = runShell(dir, kInspect + " --extract out/ job.prn");
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(readFileBytes(dir + "/out/page-1.pcx"), page);
  uint32_t w = 0, h = 0;
  pngSize(readFileBytes(dir + "/out/page-1.png"), &w, &h);
  EXPECT_EQ(w, 300u);
  EXPECT_EQ(h, 90u);
  // The empty second page gives an empty PCX file and no picture.
  EXPECT_TRUE(readFileBytes(dir + "/out/page-2.pcx").empty());
  EXPECT_EQ(runShell(dir, "test -e out/page-2.png").exitStatus, 1);
  EXPECT_NE(run.out.find("wrote out/page-1.png"), std::string::npos) << run.out;
}

TEST_F(InspectCli, stream_bytes_never_reach_the_terminal_raw) {
  StreamParts escParts;
  escParts.control = 0x1B;
  escParts.paperItems = ";CUT 3";
  writeFileBytes(dir + "/esc.prn", buildStream(escParts, {page}));
  StreamParts parts;
  parts.paperItems = std::string(";\x1b]0;owned\x07\r\0", 13) + " 1";
  writeFileBytes(dir + "/title.prn", buildStream(parts, {page}));
  writeFileBytes(dir + "/job\x1b[31m.prn", readFileBytes(dir + "/job.prn"));
  struct Row {
    const char* name;
    std::string args;
    int status;
    std::string inSummary;
    std::string inJson;
  };
  const std::vector<Row> table = {
      {"escape as the control character", "esc.prn", 0, "Paper line: \\x1BPAPER;CUT 3",
       "\"paperLine\":\"\\u001bPAPER;CUT 3\""},
      {"a window title sequence, CR and NUL in a paper item", "title.prn", 1,
       "Paper line: ~PAPER;\\x1B]0;owned\\x07\\r\\x00 1",
       "\"paperLine\":\"~PAPER;\\u001b]0;owned\\u0007\\u000d\\u0000 1\""},
      {"escapes in file names",
       shellQuoted("job\x1b[31m.prn") + " --extract " + shellQuoted("out\x1b[2J"), 0,
       "wrote out\\x1B[2J/page-1.png", "\"pngFile\":\"out\\u001b[2J/page-1.png\""},
  };
  for (const Row& row : table) {
    for (const bool json : {false, true}) {
      const ChildResult run = runShell(dir, kInspect + (json ? " --json " : " ") + row.args);
      const std::string where = std::string(row.name) + (json ? " (JSON)" : "");
      EXPECT_EQ(run.exitStatus, row.status) << where << "\n" << run.err;
      EXPECT_EQ(firstRawControl(run.out), -1) << where << ": " << run.out;
      EXPECT_EQ(firstRawControl(run.err), -1) << where << ": " << run.err;
      EXPECT_NE(run.out.find(json ? row.inJson : row.inSummary), std::string::npos)
          << where << ": " << run.out;
      if (json) {
        EXPECT_EQ(jsonProblem(run.out), "") << where << ": " << run.out;
      }
    }
  }
}

TEST_F(InspectCli, pages_that_do_not_fit_the_label_fail_the_stream) {
  // The default label: ENGINE-LENGTH;6000:WIDTH;4000, 4 x 6 in.
  StreamParts parts;
  const std::vector<uint8_t> fits = makePcx(1200, 1800, 0, 300);
  const std::vector<uint8_t> wide = makePcx(1800, 1200, 0, 300);
  const std::vector<uint8_t> longer = makePcx(1200, 2400, 0, 300);
  struct Row {
    const char* name;
    std::vector<std::vector<uint8_t>> pages;
    int status;
    int badPage;           // 0: every page fits
    std::string fault;     // the page's fault message
    std::string jsonTail;  // the JSON report's totals
  };
  const std::vector<Row> table = {
      {"a page the size of the label",
       {fits},
       0,
       0,
       "",
       "\"pagesNotFitting\":0,\"valid\":true,\"error\":null}"},
      {"a page wider than the label",
       {wide},
       1,
       1,
       "image is 6.000 in wide (1800 dots at 300 dpi), wider than the 4.000 in label",
       "\"pagesNotFitting\":1,\"valid\":false,\"error\":null}"},
      {"a page longer than the label",
       {longer},
       1,
       1,
       "image is 8.000 in long (2400 dots at 300 dpi), longer than the 6.000 in label",
       "\"pagesNotFitting\":1,\"valid\":false,\"error\":null}"},
      {"the second of two pages too long",
       {fits, longer},
       1,
       2,
       "image is 8.000 in long (2400 dots at 300 dpi), longer than the 6.000 in label",
       "\"pagesNotFitting\":1,\"valid\":false,\"error\":null}"},
  };
  for (const Row& row : table) {
    const std::vector<uint8_t> stream = buildStream(parts, row.pages);
    writeFileBytes(dir + "/label.prn", stream);
    const ChildResult run = runShell(dir, kInspect + " label.prn");
    const ChildResult json = runShell(dir, kInspect + " --json label.prn");
    EXPECT_EQ(run.exitStatus, row.status) << row.name << "\n" << run.out << run.err;
    EXPECT_EQ(json.exitStatus, row.status) << row.name;
    EXPECT_EQ(jsonProblem(json.out), "") << row.name << ": " << json.out;
    EXPECT_NE(json.out.find(row.jsonTail), std::string::npos) << row.name << ": " << json.out;
    if (row.badPage == 0) {
      EXPECT_NE(run.out.find("Stream is valid."), std::string::npos) << row.name << ": " << run.out;
      EXPECT_EQ(run.out.find("DOES NOT FIT"), std::string::npos) << row.name;
      EXPECT_TRUE(run.err.empty()) << row.name << ": " << run.err;
      continue;
    }
    // Named on its page in the summary and in JSON, and on standard error in
    // one line at the page's offset.
    const std::string text(stream.begin(), stream.end());
    size_t pageAt = text.find("REPEAT");
    for (int p = 1; p < row.badPage; ++p) pageAt = text.find("REPEAT", pageAt + 1);
    EXPECT_NE(run.out.find("DOES NOT FIT THE LABEL: " + row.fault), std::string::npos)
        << row.name << ": " << run.out;
    EXPECT_NE(run.out.find("Stream is INVALID: 1 page does not fit the label."), std::string::npos)
        << row.name << ": " << run.out;
    EXPECT_EQ(run.out.find("Stream is valid."), std::string::npos) << row.name;
    EXPECT_EQ(run.err.find("vormel-inspect: label.prn: byte " + std::to_string(pageAt) + ": page " +
                           std::to_string(row.badPage) + ": " + row.fault),
              0u)
        << row.name << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << row.name << ": " << run.err;
    EXPECT_NE(json.out.find("\"fitsLabel\":false,\"labelFaults\":[\"" + row.fault),
              std::string::npos)
        << row.name << ": " << json.out;
  }
}

// A PCX header and `dataBytes` bytes of the two-byte run `pair` after it,
// as one page's bands: the first band with the header, the same full band
// repeated, and the remainder.
std::vector<BandRun> pcxPageOfRuns(const std::vector<uint8_t>& header, size_t dataBytes,
                                   uint8_t count, uint8_t value) {
  const size_t first = 32768 - header.size();
  std::vector<uint8_t> band(header);
  for (size_t i = 0; i < first; i += 2) band.insert(band.end(), {count, value});
  std::vector<BandRun> runs = {{band, 1}};
  std::vector<uint8_t> full;
  for (size_t i = 0; i < 32768; i += 2) full.insert(full.end(), {count, value});
  const size_t rest = dataBytes - first;
  runs.push_back({full, static_cast<int32_t>(rest / 32768)});
  if (rest % 32768)
    runs.push_back({std::vector<uint8_t>(full.begin(), full.begin() + rest % 32768), 1});
  return runs;
}

TEST_F(InspectCli, memory_stays_bounded_whatever_the_stream_announces) {
  constexpr size_t kLimitMb = 64;
  StreamParts parts;
  parts.engineLength = parts.engineWidth = 7000;
  // A valid stream of raw pages, larger than the limit.
  StreamParts rawParts = parts;
  rawParts.rawPages = true;
  const std::vector<uint8_t> noise = makePcx(4000, 4000, 2, 600);
  const size_t pages = (kLimitMb << 20) / noise.size() + 2;
  const std::vector<uint8_t> large =
      buildStream(rawParts, std::vector<std::vector<uint8_t>>(pages, noise));
  ASSERT_GT(large.size(), kLimitMb << 20);
  writeFileBytes(dir + "/large.prn", large);
  // 200 MB of page image announced and sent, in bands of zeros.
  writeFileBytes(dir + "/announced.prn",
                 buildStreamOfBands(parts, {{std::vector<uint8_t>(32768, 0), 6104}}));
  // A 65536 x 65536 dot page, with enough runs of 63 to fill its 512 MB of
  // scan lines: 17 MB of page image in a stream of under half a megabyte.
  writeFileBytes(
      dir + "/huge.prn",
      buildStreamOfBands(
          parts, pcxPageOfRuns(makePcxHeader(65536, 65536, 8192, 600, 600), 17072000, 0xFF, 0x00)));
  // A page within the limits, 9600 x 40000 dots, each byte coded as a run
  // of one: 96 MB of page image.
  writeFileBytes(dir + "/deep.prn",
                 buildStreamOfBands(parts, pcxPageOfRuns(makePcxHeader(9600, 40000, 1200, 600, 600),
                                                         96000000, 0xC1, 0xFF)));
  struct Row {
    const char* name;
    std::string args;
    std::string stdinFile;
    int status;
    std::string inErr;
    bool needsAddressLimit;  // the run depends on the whole address space being limited
  };
  const std::vector<Row> table = {
      {"a stream larger than the limit, read as it arrives", "-", "large.prn", 0, "", false},
      {"a page image beyond the largest page, announced and sent", "--extract out announced.prn",
       "", 2,
       "byte 116: page 1: image of 200015872 bytes is larger than the largest page image taken",
       false},
      {"a page header beyond the largest page, with data to fill it", "--extract out huge.prn", "",
       2,
       "page 1: image of 65536 x 65536 dots in lines of 8192 bytes is larger than the largest page",
       false},
      {"a page within the limits but beyond the memory", "--extract out deep.prn", "", 2,
       "vormel-inspect: out of memory", true},
  };
  for (const Row& row : table) {
    if (row.needsAddressLimit && kAddressSanitizer) {
      std::printf("skipped under AddressSanitizer, which reports a failed allocation itself: %s\n",
                  row.name);
      continue;
    }
    const std::string in = row.stdinFile.empty() ? "" : dir + "/" + row.stdinFile;
    const ChildResult run =
        runShell(dir, underMemoryLimit(kInspect + " " + row.args, kLimitMb), in);
    EXPECT_EQ(run.exitStatus, row.status) << row.name << "\n" << run.err;
    EXPECT_NE(run.err.find(row.inErr), std::string::npos) << row.name << ": " << run.err;
    if (row.status == 0) {
      EXPECT_NE(run.out.find("Stream is valid."), std::string::npos) << row.name;
    }
  }
}

}  // namespace
