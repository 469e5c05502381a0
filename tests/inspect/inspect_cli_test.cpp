// vormel-inspect as a user runs it: arguments, standard input, exit
// statuses, messages, and the files --extract leaves behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_tool.h"
#include "stream_builder.h"

namespace {

const std::string kInspect = VORMEL_INSPECT_BIN;

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
    dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    StreamParts parts;
    parts.paperItems = ";CUT 3;LABELS 2;SPEED IPS 6";
    page = makePcx(300, 90, 1);
    writeFileBytes(dir + "/job.prn", buildStream(parts, {page, {}}));
    std::vector<uint8_t> bad = buildStream(parts, {page});
    bad.resize(bad.size() - 20);
    writeFileBytes(dir + "/cut.prn", bad);
  }
  void TearDown() override { removeTree(dir); }
  std::string dir;
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
    const ToolRun run = runTool(dir, kInspect + " " + row.args, in);
    EXPECT_EQ(run.status, row.status) << row.args << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(row.inOut), std::string::npos) << row.args << ": " << run.out;
    EXPECT_NE(run.err.find(row.inErr), std::string::npos) << row.args << ": " << run.err;
    if (row.status == 0) {
      EXPECT_TRUE(run.err.empty()) << row.args << ": " << run.err;
    }
  }
}

TEST_F(InspectCli, extract_writes_each_page_as_pcx_and_png) {
  const ToolRun run = runTool(dir, kInspect + " --extract out/ job.prn");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(readFileBytes(dir + "/out/page-1.pcx"), page);
  uint32_t w = 0, h = 0;
  pngSize(readFileBytes(dir + "/out/page-1.png"), &w, &h);
  EXPECT_EQ(w, 300u);
  EXPECT_EQ(h, 90u);
  // The empty second page gives an empty PCX file and no picture.
  EXPECT_TRUE(readFileBytes(dir + "/out/page-2.pcx").empty());
  EXPECT_EQ(runTool(dir, "test -e out/page-2.png").status, 1);
  EXPECT_NE(run.out.find("wrote out/page-1.png"), std::string::npos) << run.out;
}

}  // namespace
