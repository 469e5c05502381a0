// Job capture: the capture copy is exact for any input (empty, no final line
// feed, CR LF, NUL, binary, lines of megabytes), the bounding-box and
// resolution scans follow their token rules even where a line or a marker
// runs across the reader's chunks, and raw mode sends exactly the job as CR LF
// lines plus one line feed, from the program as the spooler runs it.
#include "driver/job_capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "driver/line_scanner.h"
#include "driver/raw_job.h"
#include "job_support.h"
#include "state/job_settings.h"

namespace {

std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// What the capture file must hold after the header: the input, plus a line
// feed when its last line has none.
std::string expectedCopy(const std::string& input) {
  return input.empty() || input.back() == '\n' ? input : input + "\n";
}

// What raw mode must send: every line with CR LF, then one line feed.
std::string expectedRaw(const std::string& input) {
  std::string out;
  for (const char c : expectedCopy(input)) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out + "\n";
}

struct Geometry {
  int32_t wid, len, x, y;
  bool operator==(const Geometry& o) const {
    return wid == o.wid && len == o.len && x == o.x && y == o.y;
  }
};

std::ostream& operator<<(std::ostream& os, const Geometry& g) {
  return os << "wid " << g.wid << " len " << g.len << " xRes " << g.x << " yRes " << g.y;
}

const Geometry kDefaults = {288, 432, 300, 300};

// The job arrives from a regular file (copied by the kernel) or from a pipe,
// as from the spooler (copied through the reader's buffer).
enum class Source { File, Pipe };

FILE* openInput(const std::string& input, Source source) {
  if (source == Source::File) {
    FILE* in = tmpfile();
    fwrite(input.data(), 1, input.size(), in);
    rewind(in);
    return in;
  }
  int fds[2];
  if (pipe(fds) != 0) return nullptr;
  fflush(nullptr);
  if (fork() == 0) {
    close(fds[0]);
    size_t done = 0;
    while (done < input.size()) {
      const ssize_t n = write(fds[1], input.data() + done, input.size() - done);
      if (n <= 0) _exit(1);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  return fdopen(fds[0], "r");
}

// Runs captureJob in-process on `input`, with the capture file opened on
// `path` holding "HDR"; returns the file's bytes afterwards.
std::string capture(const std::string& path, const std::string& input, Geometry* geometry,
                    Source source = Source::File) {
  resetJobSettings();
  saveFname = path;
  saveFile = fopen(path.c_str(), "w");
  fputs("HDR", saveFile);
  FILE* in = openInput(input, source);
  captureJob(in);
  fclose(in);
  if (source == Source::Pipe) wait(nullptr);
  EXPECT_EQ(saveFile, nullptr);
  if (geometry != nullptr) *geometry = {pageWid, pageLen, xRes, yRes};
  return readFile(path);
}

class DriverCapture : public ::testing::Test {
 protected:
  ScratchDir scratch{"vtcap"};
  std::string path() const { return scratch.path + "/In_vdqTEST.ps"; }
};

TEST_F(DriverCapture, copy_is_the_header_then_every_line_with_one_line_feed) {
  std::string longLine(5 * 1024 * 1024 + 7, 'L');
  struct Row {
    const char* claim;
    std::string input;
  };
  const std::vector<Row> rows = {
      {"empty input leaves only the header", ""},
      {"two lines", "A\nB\n"},
      {"last line without line feed gets one", "A\nB"},
      {"a lone line without line feed", "x"},
      {"CR before LF is kept", "A\r\nB\r\n"},
      {"a lone CR at the end is kept", "last\r"},
      {"empty lines", "\n\n\n"},
      {"NUL bytes are kept", std::string("a\0b\n\0\0\n\0", 9)},
      {"binary data", randomBytes(700000, 1)},
      {"a line of megabytes without line feed", longLine},
      {"a line of megabytes between short ones", "%!PS\n" + longLine + "\nend\n"},
  };
  for (const Row& row : rows) {
    for (const Source source : {Source::File, Source::Pipe}) {
      const std::string got = capture(path(), row.input, nullptr, source);
      EXPECT_EQ(describeDifference("HDR" + expectedCopy(row.input), got), "")
          << row.claim << (source == Source::File ? " (from a file)" : " (from a pipe)");
    }
  }
}

TEST_F(DriverCapture, geometry_scans_follow_the_token_rules) {
  struct Row {
    const char* claim;
    std::string input;
    Geometry expected;
  };
  const std::vector<Row> rows = {
      {"no geometry lines keep the defaults", "%!PS\nshowpage\n", kDefaults},
      {"upper-right corner sets width and length",
       "%%BoundingBox: 0 0 612 792\n",
       {612, 792, 300, 300}},
      {"not the differences", "%%BoundingBox: 10 20 298 452\n", {298, 452, 300, 300}},
      {"runs of spaces separate like one",
       "%%BoundingBox:   0  0    612   792\n",
       {612, 792, 300, 300}},
      {"leading spaces do not make a token",
       "   %%BoundingBox: 0 0 612 792\n",
       {612, 792, 300, 300}},
      {"a fraction is cut", "%%BoundingBox: 0 0 288.7 400.2\n", {288, 400, 300, 300}},
      {"a CR ends the last number", "%%BoundingBox: 0 0 612 792\r\n", {612, 792, 300, 300}},
      {"(atend) changes nothing", "%%BoundingBox: (atend)\n", kDefaults},
      {"(atend) then a complete trailer line",
       "%%BoundingBox: (atend)\n%%Page: 1 1\n%%BoundingBox: 0 0 100 200\n",
       {100, 200, 300, 300}},
      {"the last bounding box decides",
       "%%BoundingBox: 0 0 1 2\n%%BoundingBox: 0 0 3 4\n",
       {3, 4, 300, 300}},
      {"three numbers set the width only", "%%BoundingBox: 0 0 612\n", {612, 432, 300, 300}},
      {"tokens count from the line's start", "x %%BoundingBox: 1 2 3 4\n", {2, 3, 300, 300}},
      {"a tab does not separate", "%%BoundingBox: 0\t0 612 792\n", {792, 432, 300, 300}},
      {"malformed numbers become what atoi makes of them",
       "%%BoundingBox: 0 0 abc -5x\n",
       {0, -5, 300, 300}},
      {"the keyword needs its space", "%%BoundingBox:0 0 612 792\n", kDefaults},
      {"a NUL ends a number",
       std::string("%%BoundingBox: 0 0 6\0"
                   "12 792\n",
                   27),
       {6, 792, 300, 300}},
      {"resolution before the page size uses the first brackets",
       "<< /HWResolution [203 203] /PageSize [288 432] >> setpagedevice\n",
       {288, 432, 203, 203}},
      {"brackets before the marker count", "[1 2] << /HWResolution [3 4]\n", {288, 432, 1, 2}},
      {"a space after [ makes the first number 0",
       "<< /HWResolution [ 150 150] >>\n",
       {288, 432, 0, 150}},
      {"second number from the first space on",
       "<< /HWResolution [600   300 9] >>\n",
       {288, 432, 600, 300}},
      {"no space inside the brackets changes nothing", "<< /HWResolution [203] >>\n", kDefaults},
      {"no closing bracket changes nothing", "<< /HWResolution [203 203 >>\n", kDefaults},
      {"no brackets change nothing", "<< /HWResolution >>\n", kDefaults},
      {"] before [ changes nothing", "] << /HWResolution [203 203]\n", kDefaults},
      {"brackets without the marker change nothing", "/PageSize [100 100]\n", kDefaults},
      {"the marker must be whole", "<</HWResolution [100 100]\n", kDefaults},
      {"a last line without line feed is scanned",
       "%!PS\n%%BoundingBox: 0 0 50 60",
       {50, 60, 300, 300}},
  };
  for (const Row& row : rows) {
    Geometry got;
    capture(path(), row.input, &got);
    EXPECT_EQ(got, row.expected) << row.claim;
  }
}

TEST_F(DriverCapture, scans_see_only_the_first_255_characters_of_a_bounding_box_line) {
  const std::string tail(3 * 1024 * 1024, 'z');
  struct Row {
    const char* claim;
    std::string line;
    Geometry expected;
  };
  const std::vector<Row> rows = {
      {"a huge line with its numbers up front",
       "%%BoundingBox: 0 0 612 792 " + tail,
       {612, 792, 300, 300}},
      {"numbers past 255 characters are not seen",
       "%%BoundingBox:" + std::string(250, ' ') + "0 0 612 792", kDefaults},
      {"the last number cut at 255 characters",
       "%%BoundingBox:" + std::string(232, ' ') + "0 0 61 7929",
       {61, 79, 300, 300}},
      {"marker at the end of a huge line: tokens still from its start",
       "a b c 11 22 " + tail + " %%BoundingBox: 1 2 3 4",
       {11, 22, 300, 300}},
  };
  for (const Row& row : rows) {
    Geometry got;
    capture(path(), "%!PS\n" + row.line + "\n", &got);
    EXPECT_EQ(got, row.expected) << row.claim;
    // The direct scan of one line gives the same.
    resetJobSettings();
    scanBoundingBox(row.line);
    EXPECT_EQ((Geometry{pageWid, pageLen, xRes, yRes}), row.expected) << row.claim << " (direct)";
  }
}

TEST_F(DriverCapture, markers_and_brackets_cut_by_any_read_boundary_are_found) {
  // Whatever size the reader's chunks have (a power of two up to 1 MiB),
  // shifting the text across 1 MiB + 64 byte positions puts every cut
  // through the marker and through the bracketed numbers.
  const std::string box = "%%BoundingBox: 0 0 123 456";
  const std::string res = "<< /HWResolution [203 152] >>";
  for (size_t shift = 0; shift < 40; ++shift) {
    const size_t lead = (1 << 20) - 20 + shift;
    Geometry got;
    // Tokens come from the line's start, so the marker's finding shows as
    // width 4 and length 0 (from the run of 'a').
    capture(path(), "1 2 3 4 " + std::string(lead - 8, 'a') + " " + box + "\n", &got);
    EXPECT_EQ(got, (Geometry{4, 0, 300, 300})) << "box line, shift " << shift;
    capture(path(), "q\n" + std::string(lead - 2, '\n') + box + "\n", &got);
    EXPECT_EQ(got, (Geometry{123, 456, 300, 300})) << "box after short lines, shift " << shift;
    capture(path(), std::string(lead, 'b') + res + "\n", &got);
    EXPECT_EQ(got, (Geometry{288, 432, 203, 152})) << "resolution, shift " << shift;
  }
}

TEST_F(DriverCapture, resolution_of_a_huge_line_uses_its_first_brackets) {
  const std::string filler(2 * 1024 * 1024, ' ');
  struct Row {
    const char* claim;
    std::string line;
    Geometry expected;
  };
  const std::vector<Row> rows = {
      {"brackets first, marker megabytes later",
       "[72 96]" + filler + "<< /HWResolution",
       {288, 432, 72, 96}},
      {"marker first, brackets megabytes later",
       "<< /HWResolution" + filler + "[300 600]",
       {288, 432, 300, 600}},
      {"numbers padded by megabytes of spaces",
       "<< /HWResolution [203" + filler + "]",
       {288, 432, 203, 0}},
      {"megabytes of digits saturate",
       "<< /HWResolution [" + std::string(1 << 20, '9') + " 5]",
       {288, 432, INT32_MAX, 5}},
  };
  for (const Row& row : rows) {
    Geometry got;
    capture(path(), row.line + "\n", &got);
    EXPECT_EQ(got, row.expected) << row.claim;
    resetJobSettings();
    scanResolution(row.line);
    EXPECT_EQ((Geometry{pageWid, pageLen, xRes, yRes}), row.expected) << row.claim << " (direct)";
  }
}

// Raw mode from the program: standard input in, standard output compared
// byte for byte, the job files left behind.
class DriverRawMode : public ::testing::Test {
 protected:
  ChildResult run(const std::string& input, Output mode = Output::Collect, size_t after = 0) {
    ChildSpec runSpec;
    runSpec.program = VORMEL_BIN;
    runSpec.args = {"-raw", "-dir", scratch.path + "/capture"};
    runSpec.input = input;
    runSpec.env = {{"TMPDIR", scratch.path + "/work"}, {"PATH", pathWithoutGs()}};
    runSpec.output = mode;
    runSpec.readerAfter = after;
    return runChild(runSpec);
  }
  void SetUp() override {
    mkdir((scratch.path + "/work").c_str(), 0700);
    mkdir((scratch.path + "/capture").c_str(), 0700);
  }
  void TearDown() override {
    for (const char* sub : {"/work", "/capture"})
      for (const std::string& name : listDir(scratch.path + sub))
        unlink((scratch.path + sub + "/" + name).c_str());
  }
  ScratchDir scratch{"vtraw"};
};

TEST_F(DriverRawMode, sends_every_line_with_cr_lf_and_one_final_line_feed) {
  struct Row {
    const char* claim;
    std::string input;
    std::string output;  // spelled out where short; else from expectedRaw
  };
  const std::vector<Row> rows = {
      {"empty input sends a single line feed", "", "\n"},
      {"two lines", "A\nB\n", "A\r\nB\r\n\n"},
      {"last line without line feed is sent once", "A\nB", "A\r\nB\r\n\n"},
      {"a CR at a line's end is kept", "A\r\n", "A\r\r\n\n"},
      {"empty lines", "\n\n", "\r\n\r\n\n"},
      {"NUL bytes", std::string("\0a\0\n", 4), std::string("\0a\0\r\n\n", 6)},
      {"binary data", randomBytes(400000, 2), ""},
      {"a line of megabytes", std::string(3 * 1024 * 1024, 'M'), ""},
      {"the sample label", readFile(std::string(VORMEL_SOURCE_DIR) + "/docs/examples/label.ps"),
       ""},
  };
  for (const Row& row : rows) {
    const ChildResult result = run(row.input);
    EXPECT_EQ(result.exitStatus, 0) << row.claim << ": " << result.err;
    EXPECT_EQ(result.err, "") << row.claim;
    const std::string expected = row.output.empty() ? expectedRaw(row.input) : row.output;
    EXPECT_EQ(describeDifference(expected, result.out), "") << row.claim;
    EXPECT_EQ(expectedRaw(row.input), expected) << row.claim << " (row and oracle agree)";

    // No file of the job stays: job directory, capture file, spill file.
    EXPECT_EQ(listDir(scratch.path + "/work"), std::vector<std::string>{}) << row.claim;
    EXPECT_EQ(listDir(scratch.path + "/capture"), std::vector<std::string>{}) << row.claim;
    TearDown();
  }
}

TEST_F(DriverRawMode, a_job_that_cannot_be_kept_is_not_sent_at_all) {
  // No file may grow past a few KiB (a disk with no room): the job cannot be
  // kept to be sent back, so nothing of it goes out, rather than a part.
  ChildSpec runSpec;
  runSpec.program = "/bin/sh";
  runSpec.args = {"-c", "ulimit -f 8; trap '' XFSZ; exec \"$0\" -raw -dir \"$1\"", VORMEL_BIN,
                  scratch.path + "/capture"};
  runSpec.input = std::string(100000, 'A') + "\n";
  runSpec.env = {{"TMPDIR", scratch.path + "/work"}, {"PATH", pathWithoutGs()}};
  const ChildResult result = runChild(runSpec);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "ERROR: the job could not be kept for sending in raw mode\n");
  EXPECT_EQ(listDir(scratch.path + "/work"), std::vector<std::string>{});
}

TEST_F(DriverRawMode, printer_that_goes_away_gives_a_failure_status) {
  const ChildResult result = run(std::string(1 << 20, 'p') + "\n", Output::ReaderQuits, 10);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err.rfind("ERROR: ", 0), 0u) << result.err;
}

}  // namespace
